"""`export`: the store's bars as Hive-partitioned Parquet, ``period=/market=/year=``, which
Spark, Trino, DuckDB, Polars and pyarrow read as they are (``pip install pelmora[export]``).

Columns: ``symbol``, ``datetime`` (a timestamp of naive exchange-local time, as `Store.bars`
gives it), prices in yuan, ``volume``, ``amount``, ``up_count`` and ``down_count`` (null for
securities that are not indices); the partition columns come from the folder names.

Arrow's threads pull the batches from a Python generator: the folder is made (or refused)
before they start, and on every way out the reader and the generator are closed, so that no
Arrow thread calls into Python once the export has returned or raised (one doing so while the
interpreter exits aborts it).
"""
from __future__ import annotations

import errno
import os
import sqlite3
from pathlib import Path
from typing import Any, Generator

import numpy as np

from . import blocks, reader, schema
from .codec import key_times

_BLOCKS = 2_000       # blocks a batch: half a million day bars


def export_parquet(con: sqlite3.Connection, folder: str | Path) -> int:
    """Writes every stored bar under `folder`, replacing what an earlier export wrote there;
    returns the number of bars written."""
    import pyarrow as pa
    import pyarrow.dataset as ds
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)   # a folder that cannot be made: OSError here
    if not os.access(folder, os.W_OK | os.X_OK):
        raise PermissionError(errno.EACCES, "cannot write in the folder", str(folder))
    total = 0
    for period in schema.STORED_PERIODS:
        if not reader.has_bars(con, period):
            continue
        cur = reader.all_blocks(con, period)
        counted = [0]

        def batches(cur: Any = cur, counted: list[int] = counted,
                    period: str = period) -> Generator[Any, None, None]:
            while rows := cur.fetchmany(_BLOCKS):
                batch = _batch(reader.verified(con, period, rows), period, pa)
                counted[0] += batch.num_rows
                yield batch
        # Every partition's folder made here: one that cannot be made fails before Arrow's
        # threads start, not among them.
        for market, y in reader.market_years(con, period):
            (folder / f"period={period}" / f"market={market}" / f"year={y}").mkdir(
                parents=True, exist_ok=True)
        source = batches()
        try:
            with pa.RecordBatchReader.from_batches(_schema(pa), source) as batches_in:
                ds.write_dataset(batches_in, folder / f"period={period}", format="parquet", partitioning=["market", "year"],
                                 partitioning_flavor="hive",
                                 existing_data_behavior="delete_matching",
                                 max_rows_per_group=1 << 20, use_threads=False)
        finally:
            source.close()
        total += counted[0]
    return total


def _schema(pa: Any) -> Any:
    return pa.schema([("symbol", pa.string()), ("datetime", pa.timestamp("s")),
                      *((n, pa.float64()) for n in ("open", "high", "low", "close", "volume",
                                                    "amount")),
                      ("up_count", pa.int64()), ("down_count", pa.int64()),
                      ("market", pa.string()), ("year", pa.int32())])


def _batch(rows: list[tuple[Any, ...]], period: str, pa: Any) -> Any:
    series = blocks.decode(r[5:-1] for r in rows)
    lengths = [r[4] for r in rows]
    symbols = np.repeat(np.array([r[0] for r in rows], dtype=object), lengths)
    counted = np.repeat([r[12] is not None for r in rows], lengths)
    counts = series.counts if series.counts is not None else np.zeros((2, len(series)), np.int64)
    keys = series.keys
    years = (keys // (10**8 if period != "day" else 10**4)).astype(np.int32)
    prices = {n: series.prices[i] / 1000.0 for i, n in enumerate(blocks.PRICE_NAMES)}
    return pa.RecordBatch.from_pydict(schema=_schema(pa), mapping={
        "symbol": pa.array(symbols, pa.string()),
        "datetime": pa.array(key_times(keys, period), pa.timestamp("s")),
        **prices,
        "volume": pa.array(series.flows[0], pa.float64()),
        "amount": pa.array(series.flows[1], pa.float64()),
        "up_count": pa.array(counts[0], pa.int64(), mask=~counted),
        "down_count": pa.array(counts[1], pa.int64(), mask=~counted),
        "market": pa.array([s[:2] for s in symbols], pa.string()),
        "year": pa.array(years, pa.int32()),
    })
