"""The trading calendar of the simulated market: every weekday from the first day of the
Shanghai exchange to the end of the years the minute bar stamps can carry.

A day is known by its index in this fixed calendar, so a series generated for one `today` is
the head of the series generated for any later one.
"""
import numpy as np
import numpy.typing as npt

FIRST_DAY = 19901219
LAST_DAY = 20351231  # the minute bar date word holds years up to 2035


def _weekdays() -> tuple[npt.NDArray[np.int64], npt.NDArray[np.datetime64]]:
    def iso(d: int) -> str:
        return f"{d // 10000:04d}-{d // 100 % 100:02d}-{d % 100:02d}"
    span = np.arange(np.datetime64(iso(FIRST_DAY), "D"),
                     np.datetime64(iso(LAST_DAY), "D") + np.timedelta64(1, "D"))
    days = span[np.is_busday(span)]
    years = days.astype("datetime64[Y]").astype(np.int64) + 1970
    months = days.astype("datetime64[M]").astype(np.int64) % 12 + 1
    mday = (days - days.astype("datetime64[M]")).astype(np.int64) + 1
    return np.asarray(years * 10000 + months * 100 + mday, dtype=np.int64), days


DAYS, _STAMPS = _weekdays()


def index_on_or_before(yyyymmdd: int) -> int:
    """Index of the last trading day on or before a date (-1 before the first)."""
    return int(np.searchsorted(DAYS, yyyymmdd, side="right")) - 1


def index_on_or_after(yyyymmdd: int) -> int:
    """Index of the first trading day on or after a date (len(DAYS) after the last)."""
    return int(np.searchsorted(DAYS, yyyymmdd, side="left"))


def date_parts(yyyymmdd: int) -> tuple[int, int, int]:
    return yyyymmdd // 10000, yyyymmdd // 100 % 100, yyyymmdd % 100


def _period_ids() -> dict[str, npt.NDArray[np.int64]]:
    years, months = DAYS // 10000, DAYS // 100 % 100
    stamps = _STAMPS
    # Day 0 of the epoch was a Thursday: shifting by 3 starts each week on a Monday.
    weeks = (stamps.astype(np.int64) + 3) // 7
    return {"day": np.arange(len(DAYS), dtype=np.int64), "week": weeks.astype(np.int64),
            "month": years * 12 + months, "quarter": years * 4 + (months - 1) // 3,
            "year": years}


PERIOD_IDS = _period_ids()
