"""A TDX data folder holding the simulated market's bars, for the local file readers.

`write_vipdoc(market, root)` writes root/vipdoc/{sh,sz}/lday/<sh|sz><code>.day with every day
bar of every security up to `today`, and one-minute (minline/*.lc1) and five-minute
(fzline/*.lc5) files of the well-known codes over the intraday depth the server keeps. The bars
are those the server answers, in the files' 32-byte records: day files with prices in cents and
volumes in shares, minute files with single-precision prices in yuan.
"""
import os
from pathlib import Path

import numpy as np

from .market import FEATURED, INTRADAY_DEPTH, SimulatedMarket

DAY_RECORD = np.dtype([("date", "<u4"), ("open", "<u4"), ("high", "<u4"), ("low", "<u4"),
                       ("close", "<u4"), ("amount", "<f4"), ("volume", "<u4"),
                       ("reserved", "<u4")])
MINUTE_RECORD = np.dtype([("date", "<u2"), ("minute", "<u2"), ("open", "<f4"), ("high", "<f4"),
                          ("low", "<f4"), ("close", "<f4"), ("amount", "<f4"),
                          ("volume", "<u4"), ("reserved", "<u4")])


def _prefix(market: int) -> str:
    return "sh" if market == 1 else "sz"


def day_file_bytes(market: SimulatedMarket, key: tuple[int, str]) -> bytes:
    bars = market.bar_columns(key, 9, 0, len(market.traded_days(key)))
    out = np.zeros(len(bars.date), DAY_RECORD)
    for name in ("open", "high", "low", "close"):
        out[name] = getattr(bars, name)
    out["date"] = bars.date
    out["amount"] = bars.amount
    out["volume"] = bars.vol * 100
    return out.tobytes()


def minute_file_bytes(market: SimulatedMarket, key: tuple[int, str], category: int) -> bytes:
    parts = []
    for start in range(0, INTRADAY_DEPTH, 800):
        page = market.bar_columns(key, category, start, 800)
        if not len(page.date):
            break
        parts.append(page)
    parts.reverse()
    out = np.zeros(sum(len(p.date) for p in parts), MINUTE_RECORD)
    at = 0
    for page in parts:
        rows = slice(at, at + len(page.date))
        y, md = page.date // 10000, page.date % 10000
        out["date"][rows] = ((y - 2004) << 11) | md
        out["minute"][rows] = page.minute
        for name in ("open", "high", "low", "close"):
            out[name][rows] = getattr(page, name) / 100
        out["amount"][rows] = page.amount
        out["volume"][rows] = page.vol * 100
        at += len(page.date)
    return out.tobytes()


def write_vipdoc(market: SimulatedMarket, root: str | os.PathLike[str],
                 minute_codes: tuple[tuple[int, str], ...] | None = None) -> int:
    """Writes the folder; returns the number of files written."""
    base = Path(root) / "vipdoc"
    written = 0
    for m in (1, 0):
        folder = base / _prefix(m) / "lday"
        folder.mkdir(parents=True, exist_ok=True)
        for sec in market.securities(m):
            (folder / f"{_prefix(m)}{sec.code}.day").write_bytes(day_file_bytes(market, sec.key))
            written += 1
    keys = minute_codes if minute_codes is not None else tuple(s.key for s in FEATURED)
    for key in keys:
        if market.security(*key) is None:
            continue
        for sub, category, ext in (("minline", 8, "lc1"), ("fzline", 0, "lc5")):
            folder = base / _prefix(key[0]) / sub
            folder.mkdir(parents=True, exist_ok=True)
            data = minute_file_bytes(market, key, category)
            (folder / f"{_prefix(key[0])}{key[1]}.{ext}").write_bytes(data)
            written += 1
    return written
