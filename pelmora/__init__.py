"""pelmora: fast access to TDX market data.

``TdxClient`` talks the HQ quote protocol; ``read_daily_bars`` and ``read_minute_bars`` read the
local ``.day``, ``.lc1`` and ``.lc5`` files; ``ping_servers`` finds the fastest server.
"""

from .exceptions import DataWarning, PanicException
from ._core import TdxClient, ping_servers, read_daily_bars, read_minute_bars
from .hq import HQ

__all__ = [
    "TdxClient", "PanicException", "ping_servers", "read_daily_bars", "read_minute_bars", "HQ",
    "DataWarning",
]
