"""A market's security list as a frame, and the requests of its pages."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ..fetch import TableQuery
from ..instruments import kind_of, type_column
from ..limits import LIST_PAGE
from ..symbols import MARKET_NAMES

if TYPE_CHECKING:
    import pandas as pd

# The columns of a list as fetched (the store keeps them all), and those of the frame: the
# previous close travels in a packed form that can be far off, and is left to the quotes.
COLUMNS = ("code", "name", "volunit", "decimal_point", "pre_close")
FRAME_COLUMNS = ("code", "name", "type", "volunit", "decimal_point")


def pages(market: int, total: int) -> list[TableQuery]:
    """The list requests of a market of `total` securities."""
    return [TableQuery(market, "", start) for start in range(0, total, LIST_PAGE)]


def frame(batch: Any, market: int) -> pd.DataFrame:
    """Index ``symbol`` (such as sh600000); columns code, name, type (categorical), volunit
    (lot size) and decimal_point, in list order."""
    import pandas as pd
    data = batch.columns(("code", "name", "volunit", "decimal_point"))
    prefix = MARKET_NAMES[market]
    index = pd.Index([prefix + c for c in data["code"]], name="symbol")
    data["type"] = type_column(kind_of(market, c, p).type
                               for c, p in zip(data["code"], data["decimal_point"].tolist()))
    return pd.DataFrame(data, index=index, columns=list(FRAME_COLUMNS))
