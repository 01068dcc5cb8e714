"""What a code names: its security type, its lot size and its price decimals.

The exchanges give out codes in ranges, one range per kind of security, and the servers' lists
give each security its lot size (``volunit``) and decimals (``decimal_point``). This module is the
one place that reads the ranges; where a list is at hand its two numbers win over the ranges'
defaults, and where none is (local files) the defaults stand.

The same six digits can name two securities: ``000001`` is Shanghai's composite index and
Shenzhen's Ping An Bank. A type is always decided for a market and a code together, so each gets
its own; a bare code's market is decided by `pelmora.symbols.parse_symbol` (``000001`` alone is
Shenzhen's).

Units of each type: see the units table in the docs (docs/units.md).
"""
from __future__ import annotations

import functools
from typing import TYPE_CHECKING, Iterable, NamedTuple, Optional

if TYPE_CHECKING:
    import pandas as pd

STOCK, INDEX, FUND, BOND, B_SHARE, OTHER = "stock", "index", "fund", "bond", "b_share", "other"
# The categories of a ``type`` column, in this order.
TYPES = (STOCK, INDEX, FUND, BOND, B_SHARE, OTHER)


class Kind(NamedTuple):
    """A security's type, the units a lot holds and its price decimals."""
    type: str
    volunit: int
    decimal_point: int


_STOCK = Kind(STOCK, 100, 2)
_INDEX = Kind(INDEX, 100, 2)
_FUND = Kind(FUND, 100, 3)
_BOND = Kind(BOND, 10, 3)          # a lot is ten bonds; volumes count bonds
_OTHER = Kind(OTHER, 100, 2)

# Leading digits of each market's codes and what they give out; the longest prefix that matches
# decides. 0 is Shenzhen, 1 Shanghai.
_RANGES: dict[int, dict[str, Kind]] = {
    1: {
        **dict.fromkeys(("600", "601", "602", "603", "604", "605", "688", "689"), _STOCK),
        **dict.fromkeys(("000", "880", "881", "999"), _INDEX),   # 88x: TDX's sector indices
        **dict.fromkeys(("50", "51", "52", "56", "58"), _FUND),
        **dict.fromkeys(("01", "10", "11", "12", "13"), _BOND),  # 110-113: convertibles
        "900": Kind(B_SHARE, 100, 3),                             # priced in US dollars
        "20": Kind(OTHER, 100, 3),                                # repos, quoted as rates
        **dict.fromkeys(("70", "73", "78", "79"), _OTHER),        # subscriptions, allotments
    },
    0: {
        **dict.fromkeys(("000", "001", "002", "003", "004", "300", "301"), _STOCK),
        "399": _INDEX,
        **dict.fromkeys(("15", "16", "18"), _FUND),
        **dict.fromkeys(("10", "11", "12", "13"), _BOND),        # 123, 127, 128: convertibles
        **dict.fromkeys(("200", "201"), Kind(B_SHARE, 100, 2)),  # priced in Hong Kong dollars
        "03": Kind(OTHER, 100, 3),                               # warrants
    },
}


@functools.lru_cache(maxsize=1 << 14)
def _ranged(market: int, code: str) -> Optional[Kind]:
    ranges = _RANGES.get(market, {})
    return ranges.get(code[:3]) or ranges.get(code[:2])


def kind_of(market: int, code: str, decimal_point: Optional[int] = None,
            volunit: Optional[int] = None) -> Kind:
    """The type, lot size and decimals of a security. `decimal_point` and `volunit`, from a
    security list, replace the range's defaults; a code of no known range is "other", or a
    fund when the list prices it to 3 decimals."""
    kind = _ranged(market, code)
    if kind is None:
        kind = _FUND if decimal_point == 3 else _OTHER
    if decimal_point is not None and decimal_point != kind.decimal_point:
        kind = kind._replace(decimal_point=int(decimal_point))
    if volunit and volunit != kind.volunit:
        kind = kind._replace(volunit=int(volunit))
    return kind


def type_of(market: int, code: str, decimal_point: Optional[int] = None) -> str:
    """The security type of a code of a market: one of `TYPES`."""
    return kind_of(market, code, decimal_point).type


def type_dtype() -> pd.CategoricalDtype:
    """The dtype of every ``type`` column: the categories `TYPES`, unordered."""
    import pandas as pd
    return pd.CategoricalDtype(list(TYPES))


def type_column(types: Iterable[str]) -> pd.Categorical:
    """A ``type`` column of the types given."""
    import pandas as pd
    return pd.Categorical(list(types), dtype=type_dtype())
