"""Bars between the engine's columns and the store's rows.

Times become integers that read as dates (YYYYMMDD for a day bar, YYYYMMDDHHMM for a minute
bar) and prices integer thousandths, exactly the server's units.
"""
from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from ..frames import Bars

IntArray = npt.NDArray[np.int64]
MINUTE_PERIODS = frozenset({"1m", "5m"})


def time_keys(times: npt.NDArray[Any], period: str) -> IntArray:
    """datetime64 bar times as the store's integer keys."""
    days = times.astype("M8[D]")
    months = days.astype("M8[M]")
    ym = months.astype(np.int64)
    key = ((ym // 12 + 1970) * 10000 + (ym % 12 + 1) * 100
           + (days - months.astype("M8[D]")).astype(np.int64) + 1)
    if period not in MINUTE_PERIODS:
        return np.asarray(key, dtype=np.int64)
    minutes = (times.astype("M8[m]") - days.astype("M8[m]")).astype(np.int64)
    return np.asarray(key * 10000 + (minutes // 60) * 100 + minutes % 60, dtype=np.int64)


def key_times(keys: npt.NDArray[Any], period: str) -> npt.NDArray[Any]:
    """The store's integer keys as datetime64[s] bar times."""
    keys = np.asarray(keys, dtype=np.int64)
    hhmm = keys % 10000 if period in MINUTE_PERIODS else np.zeros_like(keys)
    date = keys // 10000 if period in MINUTE_PERIODS else keys
    months = (date // 10000 - 1970) * 12 + (date // 100 % 100 - 1)
    days = months.astype("M8[M]").astype("M8[D]") + (date % 100 - 1).astype("m8[D]")
    seconds = (hhmm // 100 * 3600 + hhmm % 100 * 60).astype("m8[s]")
    out: npt.NDArray[Any] = days.astype("M8[s]") + seconds
    return out


def key_of_date(value: Any, period: str, end: bool = False) -> int:
    """A date or time bound as a key of `period` (an end given as a date takes its whole
    day), read as `HQ`'s bounds are."""
    from ..dates import bound
    when = bound(value, "end" if end else "start", end)
    assert when is not None
    key = int(time_keys(np.array([when]), period if period in MINUTE_PERIODS else "day")[0])
    return key


def to_rows(bars: Bars, period: str) -> tuple[IntArray, IntArray, npt.NDArray[np.float64],
                                                IntArray | None]:
    """(keys, prices as thousandths [4 x n], volume and amount [2 x n], index counts [2 x n]
    or None) of engine bars."""
    keys = time_keys(bars.times, period)
    prices = np.rint(bars.values[:4] * 1000.0).astype(np.int64)
    flows = np.ascontiguousarray(bars.values[4:6])
    counts = None
    if bars.index and not np.isnan(bars.values[6:8]).all():
        counts = bars.values[6:8].astype(np.int64)
    return keys, prices, flows, counts
