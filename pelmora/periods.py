"""Bar periods: what each name and K-line category means, read by one parse.

A `Period` is what every call takes a period to: its canonical name, the category the servers
are asked for, and how long a bar is (minutes, a day, or longer). The command line parses a
period once and hands the `Period` on; `HQ.bars` and the adjusted bars take it as it is.
"""
from __future__ import annotations

from typing import NamedTuple, Optional, Union

from ._engine import MINUTE_CATEGORIES

# Bar periods by name, with the K-line category each asks the server for. These names are the
# canonical ones: the store's tables, its Parquet folders and its log use them.
PERIODS = {"1m": 8, "5m": 0, "15m": 1, "30m": 2, "60m": 3, "day": 9, "week": 5, "month": 6,
           "quarter": 10, "year": 11}
# pandas' offset names (old and new) for the same periods, and the canonical name each stands
# for. Kept here rather than asked of pandas, whose spellings change between versions. Matched
# as written: in pandas "M" is a month and "min" a minute, so case tells them apart. An alias
# chooses the period only: bars keep the server's stamps (a week at its last trading day, not
# at pandas' Sunday).
PERIOD_ALIASES = {
    "min": "1m", "1min": "1m", "5min": "5m", "15min": "15m", "30min": "30m", "60min": "60m",
    "h": "60m", "1h": "60m", "H": "60m", "1H": "60m",
    "D": "day", "1D": "day", "d": "day", "1d": "day",
    "W": "week", "1W": "week", "W-FRI": "week",
    "M": "month", "ME": "month", "1ME": "month",
    "Q": "quarter", "QE": "quarter", "1QE": "quarter", "QE-DEC": "quarter",
    "Y": "year", "YE": "year", "1YE": "year", "A": "year", "YE-DEC": "year",
}
# Names that mean minutes in pelmora and months in pandas: refused rather than guessed.
_AMBIGUOUS_PERIODS = frozenset({"1M", "5M", "15M", "30M", "60M"})
# Categories whose bars cover a day or more (4 is the older name of a daily bar): those the
# engine does not decode as minutes.
DAILY_CATEGORIES = frozenset(range(12)) - MINUTE_CATEGORIES
# Categories whose bars cover more than a day: adjusted ones are built from adjusted days.
LONGER_CATEGORIES = frozenset({5, 6, 10, 11})
# Minutes a bar of each minute category spans (7 keeps its digits: pelmora names no length).
_MINUTES = {8: 1, 0: 5, 1: 15, 2: 30, 3: 60}

_CATEGORY_NAMES = {category: name for name, category in PERIODS.items()}


class Period(NamedTuple):
    """A bar period: `name` the canonical one (``"day"``, ``"5m"``; the digits of a category
    pelmora names no period for), `category` the K-line category asked for, `minutes` the
    length of a minute bar (None for a day or longer)."""
    name: str
    category: int
    minutes: Optional[int]

    @property
    def daily(self) -> bool:
        """Whether a bar covers a day or more."""
        return self.category in DAILY_CATEGORIES

    @property
    def longer(self) -> bool:
        """Whether a bar covers more than a day (a week, month, quarter or year)."""
        return self.category in LONGER_CATEGORIES

    def __str__(self) -> str:
        return self.name


PeriodLike = Union[str, int, Period]


def _of_category(category: int) -> Period:
    return Period(_CATEGORY_NAMES.get(category, str(category)), category,
                  _MINUTES.get(category))


def to_period(period: PeriodLike) -> Period:
    """The `Period` of any name `period_name` takes, or of a `Period` (itself)."""
    if isinstance(period, Period):
        return period
    if isinstance(period, int) and not isinstance(period, bool) and 0 <= period <= 11:
        return _of_category(period)
    if isinstance(period, str):
        text = period.strip()
        if text in _AMBIGUOUS_PERIODS:
            raise ValueError(f"ambiguous period {period!r}: minutes in pelmora, months in "
                             f"pandas: write {text.lower()} or {text[:-1]}min for minutes, M "
                             f"or month for a month")
        if text in PERIOD_ALIASES:
            return _of_category(PERIODS[PERIOD_ALIASES[text]])
        if text.lower() in PERIODS:
            return _of_category(PERIODS[text.lower()])
        if text.isdigit() and int(text) <= 11:
            return _of_category(int(text))
    raise ValueError(f"invalid period {period!r}: expected one of {', '.join(PERIODS)}, "
                     f"pandas' {', '.join(PERIOD_ALIASES)}, or a category 0-11")


def period_name(period: PeriodLike) -> str:
    """The canonical name of a period: one of `PERIODS` (``"day"``, ``"5m"``, ...), matched
    whatever its case; one of pandas' offset names in `PERIOD_ALIASES` (``"D"``, ``"W"``,
    ``"M"``/``"ME"``, ``"Q"``/``"QE"``, ``"Y"``/``"YE"``, ``"5min"``, ``"h"``, ...), matched as
    written; or a category 0-11 (an int or its digits), named by its period where it has one
    (``9`` is ``"day"``; categories 4 and 7 keep their digits). ``"1m"`` is a minute, ``"M"`` a
    month; ``"1M"``, ``"5M"`` ..., minutes here and months in pandas, are refused. ValueError
    listing the accepted names for anything else."""
    return to_period(period).name


def parse_period(period: PeriodLike) -> int:
    """The K-line category of a period (any name `period_name` takes)."""
    return to_period(period).category
