"""Securities as users write them.

A security is a market and a six-digit code. Users write it in many ways: ``600036``,
``sh600036``, ``SH600036``, ``600036.SH``, ``600036.XSHG`` (the exchange's MIC suffix) or a
``(market, code)`` pair; every output uses the canonical form ``sh600036``.
"""
from __future__ import annotations

import re
from typing import Iterable, NamedTuple, Union

# The periods' old home: their names and categories live in pelmora.periods.
from .periods import DAILY_CATEGORIES as DAILY_CATEGORIES, PERIOD_ALIASES as PERIOD_ALIASES
from .periods import PERIODS as PERIODS, parse_period as parse_period, period_name as period_name

SZ, SH = 0, 1
MARKETS = {"sz": SZ, "sh": SH}
MARKET_NAMES = {SZ: "sz", SH: "sh"}
_SUFFIXES = {"sz": SZ, "sh": SH, "xshe": SZ, "xshg": SH}
# Markets users name that the HQ quote servers do not serve.
_UNSERVED = ("bj", "bse", "hk", "xbse")
# Leading digits of the Beijing exchange's codes: 43 (companies moved over from the NEEQ's
# basic layer), 83 and 87 (its listed companies), 889 (subscriptions of new shares) and 92 (the
# codes given since 2024). 880-888 are TDX's own Shanghai sector indices, not Beijing's.
_BEIJING_PREFIXES = ("43", "83", "87", "889", "92")

_PREFIXED = re.compile(r"([a-z]{2,4})[.:]?(\d{6})")
_SUFFIXED = re.compile(r"(\d{6})\.([a-z]{2,4})")

SymbolLike = Union[str, tuple[int, str], "Symbol"]

# Names already parsed: bulk calls name the same securities again and again, and a lookup costs
# a tenth of the matching. Bounded by starting over when full.
_parsed: dict[str, Symbol] = {}
_PARSED_LIMIT = 1 << 16


class Symbol(NamedTuple):
    market: int
    code: str

    @property
    def canonical(self) -> str:
        return MARKET_NAMES[self.market] + self.code

    def __str__(self) -> str:
        return self.canonical


def default_market(code: str) -> int:
    """The market of a bare code: 6, 9 and 5 are Shanghai, every other first digit Shenzhen."""
    return SH if code[0] in "695" else SZ


def parse_symbol(value: SymbolLike) -> Symbol:
    """The security a user's name stands for; ValueError naming it when it is malformed or of a
    market the HQ protocol does not serve (Beijing's ``bj`` codes, for example).

    A bare code's market is told by its leading digits: 6, 9 and 5 are Shanghai (stocks,
    B shares and TDX's indices, funds), every other digit Shenzhen, except the Beijing
    exchange's codes, 43xxxx, 83xxxx, 87xxxx, 889xxx and 92xxxx, which are refused as ``bj``
    codes are. A prefix or suffix names the market outright (``sz920001`` is Shenzhen's)."""
    if type(value) is str:
        hit = _parsed.get(value)
        if hit is not None:
            return hit
        sym = _parse_text(value)
        if len(_parsed) >= _PARSED_LIMIT:
            _parsed.clear()
        _parsed[value] = sym
        return sym
    if isinstance(value, Symbol):
        return value
    if isinstance(value, tuple):
        if (len(value) == 2 and value[0] in MARKET_NAMES and isinstance(value[1], str)
                and re.fullmatch(r"\d{6}", value[1])):
            return Symbol(int(value[0]), value[1])
        raise ValueError(f"invalid security {value!r}: expected (0 or 1, a six-digit code)")
    if not isinstance(value, str):
        raise ValueError(f"invalid security {value!r}: expected a code such as '600036'")
    return _parse_text(value)


def _parse_text(value: str) -> Symbol:
    text = value.strip().lower()
    if re.fullmatch(r"\d{6}", text):
        if text.startswith(_BEIJING_PREFIXES):
            raise ValueError(f"security {value!r} is a code of market bj (Beijing), which the HQ "
                             f"servers do not serve (only sh and sz)")
        return Symbol(default_market(text), text)
    m = _PREFIXED.fullmatch(text)
    market, code = (m.group(1), m.group(2)) if m else (None, None)
    if m is None and (m := _SUFFIXED.fullmatch(text)):
        code, market = m.group(1), m.group(2)
    if market in _UNSERVED:
        raise ValueError(f"security {value!r} is of market {market}, which the HQ servers do "
                         f"not serve (only sh and sz)")
    if market not in _SUFFIXES or code is None:
        raise ValueError(f"invalid security {value!r}: expected a six-digit code, optionally "
                         f"as sh600036, 600036.SH or 600036.XSHG")
    return Symbol(_SUFFIXES[market], code)


_INDEX_PREFIXES = {SH: frozenset({"000", "880", "999"}), SZ: frozenset({"399"})}


def is_index(symbol: Symbol) -> bool:
    """Whether a code names an index, whose bars carry advancing and declining counts:
    Shanghai 000xxx, 880xxx and 999xxx, Shenzhen 399xxx."""
    return symbol.code[:3] in _INDEX_PREFIXES.get(symbol.market, ())


def is_index_name(name: str) -> bool:
    """`is_index` of a canonical name such as ``sh000001``, without parsing it (bulk readers
    ask a market's worth)."""
    market = MARKETS.get(name[:2])
    return market is not None and is_index(Symbol(market, name[2:]))


def many(values: SymbolLike | Iterable[SymbolLike]) -> list[SymbolLike]:
    """The securities a call of many is given: one name (a str, a (market, code) pair or a
    `Symbol`) stands for itself rather than for its characters or items."""
    if isinstance(values, (str, Symbol)) or (
            type(values) is tuple and len(values) == 2 and isinstance(values[0], int)
            and isinstance(values[1], str)):
        return [values]
    return list(values)  # type: ignore[arg-type]
