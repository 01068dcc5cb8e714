"""pelmora: fast access to TDX market data.

``TdxClient`` talks the HQ quote protocol; ``read_daily_bars`` and ``read_minute_bars`` read the
local ``.day``, ``.lc1`` and ``.lc5`` files; ``ping_servers`` finds the fastest server.
``read_day_frame``, ``read_minute_frame`` and ``read_vipdoc`` read local files and whole TDX
data folders into pandas DataFrames; ``HQ`` downloads in parallel into DataFrames, and ``Store``
reads the local store that ``pelmora sync`` keeps. With ``output="arrow"`` the bulk readers give
an ``ArrowBars`` instead: Arrow columns that polars, pyarrow and DuckDB read without pandas.
"""
from typing import TYPE_CHECKING, Any

from ._version import __version__
from .build_info import build_info
from .exceptions import DataWarning, PanicException
from .records import ENGLISH_NAMES

try:
    from ._core import TdxClient, ping_servers, read_daily_bars, read_minute_bars
except ModuleNotFoundError as exc:
    if exc.name != "pelmora._core":
        raise
    from ._missing_core import missing_core_message

    raise ImportError(missing_core_message(__file__), name="pelmora._core") from None

from .arrow import ArrowBars
from .hq import HQ
from .files import read_day_frame, read_minute_frame, read_vipdoc

if TYPE_CHECKING:
    from .store import Store, StoreBusy


def __getattr__(name: str) -> Any:
    # The store pulls in numpy and sqlite3: only when asked for.
    if name in ("Store", "StoreBusy"):
        from . import store
        return getattr(store, name)
    raise AttributeError(f"module 'pelmora' has no attribute {name!r}")


__all__ = ["TdxClient", "PanicException", "ping_servers", "read_daily_bars", "read_minute_bars",
           "HQ", "DataWarning", "read_day_frame", "read_minute_frame", "read_vipdoc",
           "Store", "StoreBusy", "ArrowBars", "__version__", "build_info", "ENGLISH_NAMES"]
