"""Quotes of many securities: requests of QUOTE_PAGE securities, the answers as one frame."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Sequence

from .limits import QUOTE_PAGE
from .symbols import MARKET_NAMES, Symbol
from .tables import columns

if TYPE_CHECKING:
    import pandas as pd

LEVELS = tuple(f"{key}{level}" for level in range(1, 6)
               for key in ("bid", "ask", "bid_vol", "ask_vol"))
COLUMNS = ("price", "last_close", "open", "high", "low", "servertime", "vol", "cur_vol",
           "amount", "s_vol", "b_vol") + LEVELS


def requests(syms: Sequence[Symbol]) -> list[list[tuple[int, str]]]:
    pairs = [(s.market, s.code) for s in syms]
    return [pairs[i:i + QUOTE_PAGE] for i in range(0, len(pairs), QUOTE_PAGE)]


def frame(batch: Any, syms: Sequence[Symbol]) -> tuple[pd.DataFrame, list[str]]:
    """The frame of the securities answered (index ``symbol``, a row each, in the order
    answered) and the names of those asked of a request that succeeded but not answered."""
    import pandas as pd
    data = columns(batch, ("market", "code") + COLUMNS)
    names = [MARKET_NAMES.get(int(m), str(m)) + c for m, c in zip(data.pop("market").tolist(),
                                                                   data.pop("code"))]
    failed = {i for i, _ in batch.errors()}
    asked = [s.canonical for k, s in enumerate(syms) if k // QUOTE_PAGE not in failed]
    index = pd.Index(names, name="symbol")
    keep = index.isin(asked) & ~index.duplicated()
    out = pd.DataFrame(data, index=index, columns=list(COLUMNS))
    if not keep.all():
        out = out[keep]
    answered = set(out.index)
    return out, [name for name in asked if name not in answered]
