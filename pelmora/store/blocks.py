"""Bars kept in blocks: one row per security and two months (day bars) or month (minute bars),
each column of the block a little-endian array in a BLOB.

Reading a security's whole daily history touches some 150 rows instead of 6,000, and a sync
writes a security with as many inserts; SQLite's per-row cost was what bounded both. Two months
of day bars (about 1.9 KB) are half a page: reading one date across the market reads a page per
security, and little of a page is left empty (a quarter would leave a third of each empty). The
``bars_day``, ``bars_5m`` and ``bars_1m`` views (see `views`) show the blocks as rows to SQL.

Times are integer keys (YYYYMMDD, or YYYYMMDDHHMM for minute bars), prices the servers'
integer thousandths of a yuan (index points for indices), volume (units: shares, or bonds for
bonds) and amount as doubles, the index bars' up and down counts as integers. Each row
carries the checksum of its values (`checksums`), checked whenever the row is read.
"""
from __future__ import annotations

import dataclasses
from typing import Any, Iterable, Optional, Sequence

import numpy as np
import numpy.typing as npt

from . import checksums
from .codec import MINUTE_PERIODS

IntArray = npt.NDArray[np.int64]
FloatArray = npt.NDArray[np.float64]

# Stored width of each column; prices and counts fit 32 bits (21 million yuan in thousandths).
_KEY, _PRICE, _FLOW, _COUNT = np.dtype("<i8"), np.dtype("<i4"), np.dtype("<f8"), np.dtype("<i4")
PRICE_NAMES = ("open", "high", "low", "close")
COLUMNS = ("datetime", *PRICE_NAMES, "volume", "amount", "up_count", "down_count")


def table(period: str) -> str:
    return "blocks_" + period


def ddls(period: str) -> list[str]:
    """The table of `period` and its index by block, which a read of one date across the
    market walks instead of every block."""
    return [ddl(period), f"CREATE INDEX IF NOT EXISTS {table(period)}_by_block ON "
                         f"{table(period)} (block)"]


def ddl(period: str) -> str:
    # The small columns come first: a scan over first/last never reads a block's arrays.
    return (f"CREATE TABLE IF NOT EXISTS {table(period)} (symbol TEXT NOT NULL, "
            "block INTEGER NOT NULL, first INTEGER NOT NULL, last INTEGER NOT NULL, "
            "bars INTEGER NOT NULL, datetime BLOB NOT NULL, open BLOB NOT NULL, "
            "high BLOB NOT NULL, low BLOB NOT NULL, close BLOB NOT NULL, volume BLOB NOT NULL, "
            "amount BLOB NOT NULL, up_count BLOB, down_count BLOB, crc INTEGER, "
            "PRIMARY KEY (symbol, block))")


@dataclasses.dataclass(frozen=True)
class Series:
    """One security's bars in store units, oldest first."""
    keys: IntArray                 # [n]
    prices: IntArray               # [4, n] open, high, low, close
    flows: FloatArray              # [2, n] volume, amount
    counts: Optional[IntArray]     # [2, n] up and down counts of an index, else None

    def __len__(self) -> int:
        return len(self.keys)

    def part(self, keep: Any) -> Series:
        return Series(self.keys[keep], self.prices[:, keep], self.flows[:, keep],
                      None if self.counts is None else self.counts[:, keep])


def empty(index: bool = False) -> Series:
    return Series(np.empty(0, np.int64), np.empty((4, 0), np.int64), np.empty((2, 0)),
                  np.empty((2, 0), np.int64) if index else None)


def concat(parts: Sequence[Series]) -> Series:
    parts = [p for p in parts if len(p)]
    if not parts:
        return empty()
    if len(parts) == 1:
        return parts[0]
    counts = None
    if any(p.counts is not None for p in parts):
        counts = np.concatenate([p.counts if p.counts is not None
                                 else np.zeros((2, len(p)), np.int64) for p in parts], axis=1)
    return Series(np.concatenate([p.keys for p in parts]),
                  np.concatenate([p.prices for p in parts], axis=1),
                  np.concatenate([p.flows for p in parts], axis=1), counts)


def block_of(keys: IntArray | int, period: str) -> Any:
    """The block of each key: YYYYB for day bars (B = 1 for January and February, ..., 6),
    YYYYMM for minute bars."""
    if period in MINUTE_PERIODS:
        return keys // 10**6
    return keys // 10**4 * 10 + (keys // 100 % 100 + 1) // 2


def block_sql(column: str, period: str) -> str:
    """`block_of` of an integer column, in SQL."""
    if period in MINUTE_PERIODS:
        return f"{column} / 1000000"
    return f"{column} / 10000 * 10 + ({column} / 100 % 100 + 1) / 2"


def block_start(block: int, period: str) -> int:
    """The least key of a block."""
    if period in MINUTE_PERIODS:
        return block * 10**6
    return block // 10 * 10**4 + ((block % 10) * 2 - 1) * 100


def _packed(values: npt.NDArray[Any], dtype: np.dtype[Any], what: str) -> bytes:
    if dtype.kind == "i":
        limit = np.iinfo(dtype)
        if len(values) and (values.min() < limit.min or values.max() > limit.max):
            raise ValueError(f"{what} out of the stored range: {values.min()} .. {values.max()}")
    return values.astype(dtype).tobytes()


def encode(symbol: str, series: Series, period: str) -> list[tuple[Any, ...]]:
    """The rows (without a symbol's block that the series does not reach) that store
    `series`: one per block it covers."""
    keys = series.keys
    blocks = block_of(keys, period)
    cuts = np.flatnonzero(np.diff(blocks)) + 1
    rows = []
    for a, b in zip(np.concatenate([[0], cuts]).tolist(),
                    np.concatenate([cuts, [len(keys)]]).tolist()):
        if a == b:
            continue
        p, f = series.prices[:, a:b], series.flows[:, a:b]
        counts: list[Optional[bytes]] = [None, None]
        if series.counts is not None:
            counts = [_packed(c, _COUNT, f"{symbol} index counts") for c in series.counts[:, a:b]]
        row = (symbol, int(blocks[a]), int(keys[a]), int(keys[b - 1]), b - a,
               keys[a:b].astype(_KEY).tobytes(),
               *(_packed(x, _PRICE, f"{symbol} prices") for x in p),
               *(x.astype(_FLOW).tobytes() for x in f), *counts)
        rows.append((*row, checksums.of(*row)))
    return rows


# A stored row as read back: the block's columns, its checksum last.
ROW = "symbol, block, first, last, bars, " + ", ".join(COLUMNS) + ", crc"
ROW_VOLUME = 5 + COLUMNS.index("volume")   # where a row of `ROW` has its volumes
FLOW_DTYPE = _FLOW


def decode(rows: Iterable[Sequence[Any]]) -> Series:
    """The series of rows of (datetime, open, high, low, close, volume, amount, up_count,
    down_count) blobs, in block order."""
    rows = list(rows)
    if not rows:
        return empty()

    def column(i: int, dtype: np.dtype[Any], out: Any) -> Any:
        return np.frombuffer(b"".join(r[i] for r in rows), dtype=dtype).astype(out)
    keys = column(0, _KEY, np.int64)
    prices = np.stack([column(i, _PRICE, np.int64) for i in range(1, 5)])
    flows = np.stack([column(i, _FLOW, np.float64) for i in (5, 6)])
    counts = None
    if any(r[7] is not None for r in rows):
        # Zeros for the blocks without counts (not an index), filled in place of a join.
        counts = np.zeros((2, len(keys)), np.int64)
        at = 0
        for r in rows:
            n = len(r[0]) // _KEY.itemsize
            if r[7] is not None:
                counts[0, at:at + n] = np.frombuffer(r[7], _COUNT)
                counts[1, at:at + n] = np.frombuffer(r[8], _COUNT)
            at += n
    return Series(keys, prices, flows, counts)
