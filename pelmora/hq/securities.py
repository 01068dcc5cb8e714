"""A market's security list as a frame, and the requests of its pages."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ..fetch import TableQuery
from ..limits import LIST_PAGE
from ..symbols import MARKET_NAMES

if TYPE_CHECKING:
    import pandas as pd

COLUMNS = ("code", "name", "volunit", "decimal_point", "pre_close")


def pages(market: int, total: int) -> list[TableQuery]:
    """The list requests of a market of `total` securities."""
    return [TableQuery(market, "", start) for start in range(0, total, LIST_PAGE)]


def frame(batch: Any, market: int) -> pd.DataFrame:
    """Index ``symbol`` (such as sh600000); columns code, name, volunit (lot size),
    decimal_point and pre_close, in list order."""
    import pandas as pd
    data = batch.columns(COLUMNS)
    prefix = MARKET_NAMES[market]
    index = pd.Index([prefix + c for c in data["code"]], name="symbol")
    return pd.DataFrame(data, index=index, columns=list(COLUMNS))
