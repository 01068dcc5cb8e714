"""Parsing of the command line's security codes, server addresses and bar periods."""
import re

# Bar period names and the K-line category each asks the server for. The bare category numbers
# 0..11 are accepted too (4 is also a day, 7 also one minute).
PERIODS = {"1m": 8, "5m": 0, "15m": 1, "30m": 2, "60m": 3, "day": 9, "week": 5, "month": 6,
           "quarter": 10, "year": 11}
MARKET_PREFIXES = {"sz": 0, "sh": 1}
MARKET_NAMES = {0: "sz", 1: "sh"}

_CODE = re.compile(r"(?i)(sh|sz)?(\d{6})")


class UsageError(ValueError):
    """A malformed command-line value (reported like an argparse usage error)."""


def parse_code(text):
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
        return MARKET_PREFIXES[prefix.lower()], code
    return (1 if code[0] in "695" else 0), code


def label(market, code):
    """The prefixed form of a security, e.g. sh600036 (the market number for other markets)."""
    return f"{MARKET_NAMES.get(market, market)}{code}"


def is_index_code(market, code):
    """Whether a code names an index, whose bars carry advancing and declining counts:
    Shanghai 000xxx, 880xxx and 999xxx, Shenzhen 399xxx."""
    if market == 1:
        return code[:3] in ("000", "880", "999")
    return market == 0 and code.startswith("399")


def parse_market(text):
    t = text.strip().lower()
    if t in MARKET_PREFIXES:
        return MARKET_PREFIXES[t]
    if t in ("0", "1"):
        return int(t)
    raise UsageError(f"invalid market {text!r}: expected sh or sz")


def parse_period(text):
    t = text.strip().lower()
    if t in PERIODS:
        return PERIODS[t]
    if t.isdigit() and int(t) <= 11:
        return int(t)
    raise UsageError(f"invalid period {text!r}: expected one of {', '.join(PERIODS)} "
                     f"or a category 0-11")
