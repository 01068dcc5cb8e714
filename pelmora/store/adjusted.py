"""Adjusted prices of stored bars, straight from the stored arrays and ex-rights rows.

The same arithmetic as `pelmora.adjust.adjust` over `Store.xdxr`'s frame, without building
either frame: reading a security's whole adjusted history is then a few milliseconds, most of
them the one frame the caller gets.
"""
from __future__ import annotations

import sqlite3

import numpy as np
import numpy.typing as npt

from ..adjust import (CONSOLIDATION_KEYS, DISTRIBUTION_KEYS, SINGLE_KEYS, adjust_prices,
                      single_decimal)
from . import blocks
from .codec import key_times

_KEYS = DISTRIBUTION_KEYS + CONSOLIDATION_KEYS
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


def adjusted_prices(con: sqlite3.Connection, symbol: str, series: blocks.Series, period: str,
                    method: str, as_of: int | None = None) -> npt.NDArray[np.float64]:
    """The open, high, low and close of `series` in yuan, adjusted by `method` with the stored
    ex-rights records of `symbol` (those dated by `as_of`, YYYYMMDD, when given).

    The events are measured on the whole stored daily history (the close before each
    ex-date, the last bar), so that a series cut to any window is adjusted as the whole one
    is; a store without daily bars of `symbol` measures them on `series` itself."""
    rows = con.execute(f"SELECT date, category, {', '.join(_KEYS)} FROM xdxr WHERE symbol=? "
                       f"AND NOT coalesce(date > ?, 0)", (symbol, as_of)).fetchall()
    table = np.array(rows, dtype=np.float64).reshape(len(rows), 2 + len(_KEYS))
    values = {}
    for i, key in enumerate(_KEYS):
        column = table[:, 2 + i]
        values[key] = single_decimal(column) if key in SINGLE_KEYS else column
    days = key_times(series.keys, period).astype("M8[D]").astype(np.int64)
    prices = series.prices.astype(np.float64) / 1000.0
    dates = np.nan_to_num(table[:, 0]).astype(np.int64)
    whole = series if period == "day" and _is_whole(con, symbol, series) else \
        blocks.read(con, symbol, "day")
    daily = None
    if len(whole):
        daily = (key_times(whole.keys, "day").astype("M8[D]").astype(np.int64),
                 whole.prices[3].astype(np.float64) / 1000.0)
    return adjust_prices(days, prices, _day_numbers(dates),
                         table[:, 1].astype(np.int64), values, method, daily)


def _is_whole(con: sqlite3.Connection, symbol: str, series: blocks.Series) -> bool:
    """Whether `series` holds every stored daily bar of `symbol` (then it need not be read
    again)."""
    if not len(series):
        return False
    row = con.execute(f"SELECT min(first), max(last) FROM {blocks.table('day')} WHERE symbol=?",
                      (symbol,)).fetchone()
    return bool(row == (int(series.keys[0]), int(series.keys[-1])))
