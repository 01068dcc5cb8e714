"""Adjusted prices of stored bars, straight from the stored arrays and ex-rights rows (which
`reader` reads).

The same arithmetic as `pelmora.adjust.adjust` over `Store.xdxr`'s frame, without building
either frame: reading a security's whole adjusted history is then a few milliseconds, most of
them the one frame the caller gets.
"""
from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from ..events import SINGLE_KEYS, single_decimal
from ..records import XDXR_CONSOLIDATION, XDXR_DIVIDEND
from . import blocks
from .codec import key_times

# The values of the stored ex-rights records that the adjustment reads (`pelmora.adjust`'s
# distribution and consolidation keys; that module, and pandas with it, is imported at first
# adjustment so that reading unadjusted bars needs no pandas).
EVENT_KEYS = XDXR_DIVIDEND + XDXR_CONSOLIDATION
_NAT = np.iinfo(np.int64).min


def _days(dates: npt.NDArray[np.int64]) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.int64]]:
    """Which YYYYMMDD numbers are calendar dates pandas can hold (as `xdxr_frame` reads
    them), and their days since 1970-01-01 (0 for the others)."""
    dates = np.asarray(dates, dtype=np.int64)
    year, month, day = dates // 10000, dates // 100 % 100, dates % 100
    ok = (year >= 1678) & (year <= 2261) & (month >= 1) & (month <= 12) & (day >= 1)
    months = np.where(ok, (year - 1970) * 12 + month - 1, 0).astype("M8[M]")
    first = months.astype("M8[D]")
    length = ((months + np.timedelta64(1, "M")).astype("M8[D]") - first).astype(np.int64)
    ok &= day <= length
    return ok, (first + np.where(ok, day - 1, 0).astype("m8[D]")).astype(np.int64)


def valid_dates(dates: npt.NDArray[np.int64]) -> npt.NDArray[np.bool_]:
    """Which YYYYMMDD numbers are calendar dates pandas can hold."""
    return _days(dates)[0]


def _day_numbers(dates: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    """Days since 1970-01-01 of YYYYMMDD numbers; NaT's value where one is no calendar date
    pandas can hold (as `xdxr_frame` reads them)."""
    ok, days = _days(dates)
    return np.where(ok, days, _NAT)


def adjusted_prices(events: list[tuple[Any, ...]], series: blocks.Series, period: str,
                    method: str, whole: blocks.Series) -> npt.NDArray[np.float64]:
    """The open, high, low and close of `series` in yuan, adjusted by `method` with a
    security's stored ex-rights records: rows of (date, category, *`EVENT_KEYS`).

    The events are measured on `whole`, the security's whole stored daily history (the close
    before each ex-date, the last bar), so that a series cut to any window is adjusted as the
    whole one is; without daily bars they are measured on `series` itself."""
    from ..adjust import adjust_prices  # type: ignore[import-not-found,unused-ignore]
    table = np.array(events, dtype=np.float64).reshape(len(events), 2 + len(EVENT_KEYS))
    values = {}
    for i, key in enumerate(EVENT_KEYS):
        column = table[:, 2 + i]
        values[key] = single_decimal(column) if key in SINGLE_KEYS else column
    days = key_times(series.keys, period).astype("M8[D]").astype(np.int64)
    prices = series.prices.astype(np.float64) / 1000.0
    dates = np.nan_to_num(table[:, 0]).astype(np.int64)
    daily = None
    if len(whole):
        daily = (key_times(whole.keys, "day").astype("M8[D]").astype(np.int64),
                 whole.prices[3].astype(np.float64) / 1000.0)
    return adjust_prices(days, prices, _day_numbers(dates),
                         table[:, 1].astype(np.int64), values, method, daily)
