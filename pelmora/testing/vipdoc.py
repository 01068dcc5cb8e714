"""A TDX data folder holding the simulated market's bars, for the local file readers.

`write_vipdoc(market, root)` writes root/vipdoc/{sh,sz}/lday/<sh|sz><code>.day with every day
bar of every security up to `today`, and one-minute (minline/*.lc1) and five-minute
(fzline/*.lc5) files of the well-known codes over the intraday depth the server keeps. The bars
are those the server answers, in the files' 32-byte records:

* `.day`: prices as integers in the security's ticks (10^-decimal_point of the currency: cents,
  or thousandths for funds, bonds and the like), the amount a single-precision float in the
  currency.
* `.lc1` / `.lc5`: prices and amount as single-precision floats in the currency.
* Volumes count units (shares, or bonds for bonds): the served lots times the list's `volunit`,
  except for indices, whose volumes count lots in every file, since their share counts do not
  fit the 32-bit field. A value that would not fit raises ValueError rather than wrap. The
  counts are those served: an index's lots, beyond the 24 bits of the bars' packed volume
  word, come rounded and are written so.
"""
import os
from pathlib import Path

import numpy as np
import numpy.typing as npt

from .history import Security
from .market import FEATURED, INTRADAY_DEPTH, SimulatedMarket
from .wire import decode_words, volume_columns

DAY_RECORD = np.dtype([("date", "<u4"), ("open", "<u4"), ("high", "<u4"), ("low", "<u4"),
                       ("close", "<u4"), ("amount", "<f4"), ("volume", "<u4"),
                       ("reserved", "<u4")])
MINUTE_RECORD = np.dtype([("date", "<u2"), ("minute", "<u2"), ("open", "<f4"), ("high", "<f4"),
                          ("low", "<f4"), ("close", "<f4"), ("amount", "<f4"),
                          ("volume", "<u4"), ("reserved", "<u4")])


def _prefix(market: int) -> str:
    return "sh" if market == 1 else "sz"


def _security(market: SimulatedMarket, key: tuple[int, str]) -> Security:
    sec = market.security(*key)
    if sec is None:
        raise KeyError(key)
    return sec


def _volume(sec: Security, lots: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    """A file's volume field: the units traded, or the lots of an index, of the lots the
    server answers. Its packed word holds 24 bits, so an index's hundreds of millions of lots
    come rounded, and the file holds them as they came; the few small counts the word cannot
    carry (15 lots read back as 16.125) are kept whole."""
    served = decode_words(volume_columns(lots).view("<u4").ravel())
    whole = np.where(served == np.rint(served), served, lots).astype(np.int64)
    return whole if sec.is_index else whole * sec.volunit


def _u32(name: str, sec: Security, values: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    """`values` for an unsigned 32-bit field: raises rather than let them wrap."""
    if values.size and (values.max() > 0xFFFFFFFF or values.min() < 0):
        raise ValueError(f"{_prefix(sec.market)}{sec.code}: {name} {values.max()} does not fit "
                         "a file's 32-bit field")
    return values


def day_file_bytes(market: SimulatedMarket, key: tuple[int, str]) -> bytes:
    sec = _security(market, key)
    bars = market.bar_columns(key, 9, 0, len(market.traded_days(key)))
    out = np.zeros(len(bars.date), DAY_RECORD)
    for name in ("open", "high", "low", "close"):
        out[name] = _u32(name, sec, getattr(bars, name))
    out["date"] = bars.date
    out["amount"] = bars.amount
    out["volume"] = _u32("volume", sec, _volume(sec, bars.vol))
    return out.tobytes()


def minute_file_bytes(market: SimulatedMarket, key: tuple[int, str], category: int,
                      depth: int = INTRADAY_DEPTH) -> bytes:
    """The latest `depth` bars of a minute category (8 one-minute, 0 five-minute) as a file."""
    sec = _security(market, key)
    parts = []
    for start in range(0, depth, 800):
        page = market.bar_columns(key, category, start, min(800, depth - start))
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
            out[name][rows] = getattr(page, name) / sec.scale
        out["amount"][rows] = page.amount
        out["volume"][rows] = _u32("volume", sec, _volume(sec, page.vol))
        at += len(page.date)
    return out.tobytes()


def write_vipdoc(market: SimulatedMarket, root: str | os.PathLike[str],
                 minute_codes: tuple[tuple[int, str], ...] | None = None,
                 minute_days: int | None = None) -> int:
    """Writes the folder; returns the number of files written. `minute_codes`: the securities
    given minute files (the well-known codes by default); `minute_days`: only the last this many
    trading days of minutes (all the server keeps by default)."""
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
        for sub, category, ext, a_day in (("minline", 8, "lc1", 240), ("fzline", 0, "lc5", 48)):
            folder = base / _prefix(key[0]) / sub
            folder.mkdir(parents=True, exist_ok=True)
            depth = INTRADAY_DEPTH if minute_days is None else min(INTRADAY_DEPTH,
                                                                    minute_days * a_day)
            data = minute_file_bytes(market, key, category, depth)
            (folder / f"{_prefix(key[0])}{key[1]}.{ext}").write_bytes(data)
            written += 1
    return written
