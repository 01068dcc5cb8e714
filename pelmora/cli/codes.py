"""Parsing of the command line's security codes, markets and bar periods."""
from __future__ import annotations

import re

from ..symbols import MARKET_NAMES, MARKETS, PERIODS, Symbol, default_market, is_index
from ..symbols import parse_period as parse_period

__all__ = ["PERIODS", "UsageError", "parse_code", "label", "is_index_code", "parse_market",
           "parse_period"]

_CODE = re.compile(r"(?i)(sh|sz)?(\d{6})")


class UsageError(ValueError):
    """A malformed command-line value (reported like an argparse usage error)."""


def parse_code(text: str) -> tuple[int, str]:
    """(market, code) of "600036", "sz000001" or "SH000001".

    Without a prefix the market follows from the first digit: 6, 9 and 5 are Shanghai (1), every
    other digit Shenzhen (0).
    """
    m = _CODE.fullmatch(text.strip())
    if not m:
        raise UsageError(f"invalid security code {text!r}: expected six digits, "
                         f"optionally prefixed by sh or sz")
    prefix, code = m.groups()
    if prefix:
        return MARKETS[prefix.lower()], code
    return default_market(code), code


def label(market: int, code: str) -> str:
    """The prefixed form of a security, e.g. sh600036 (the market number for other markets)."""
    return f"{MARKET_NAMES.get(market, market)}{code}"


def is_index_code(market: int, code: str) -> bool:
    """Whether a code names an index, whose bars carry advancing and declining counts."""
    return market in MARKET_NAMES and is_index(Symbol(market, code))


def parse_market(text: str) -> int:
    t = text.strip().lower()
    if t in MARKETS:
        return MARKETS[t]
    if t in ("0", "1"):
        return int(t)
    raise UsageError(f"invalid market {text!r}: expected sh or sz")
