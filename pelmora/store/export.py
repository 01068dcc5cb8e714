"""`export`: the store's bars as Hive-partitioned Parquet, ``period=/market=/year=``, which
Spark, Trino, DuckDB, Polars and pyarrow read as they are (``pip install pelmora[export]``).

Columns: ``symbol``, ``datetime`` (a timestamp of naive exchange-local time, as `Store.bars`
gives it), prices in yuan, ``volume``, ``amount``, ``up_count`` and ``down_count`` (null for
securities that are not indices); the partition columns come from the folder names.
"""
from __future__ import annotations

import sqlite3
from pathlib import Path
from typing import Any, Iterator

import numpy as np

from . import schema
from .codec import key_times

_BATCH = 500_000


def export_parquet(con: sqlite3.Connection, folder: str | Path) -> int:
    """Writes every stored bar under `folder`, replacing what an earlier export wrote there;
    returns the number of bars written."""
    import pyarrow as pa
    import pyarrow.dataset as ds
    folder = Path(folder)
    total = 0
    for period in schema.STORED_PERIODS:
        table = schema.bars_table(period)
        if con.execute(f"SELECT 1 FROM {table} LIMIT 1").fetchone() is None:
            continue
        cur = con.execute(f"SELECT symbol, datetime, open, high, low, close, volume, amount, "
                          f"up_count, down_count FROM {table} ORDER BY symbol, datetime")
        counted = [0]

        def batches(cur: Any = cur, counted: list[int] = counted) -> Iterator[Any]:
            while rows := cur.fetchmany(_BATCH):
                counted[0] += len(rows)
                yield _batch(rows, period, pa)
        ds.write_dataset(batches(), folder / f"period={period}", schema=_schema(pa),
                         format="parquet", partitioning=["market", "year"],
                         partitioning_flavor="hive", existing_data_behavior="delete_matching",
                         max_rows_per_group=1 << 20)
        total += counted[0]
    return total


def _schema(pa: Any) -> Any:
    return pa.schema([("symbol", pa.string()), ("datetime", pa.timestamp("s")),
                      *((n, pa.float64()) for n in ("open", "high", "low", "close", "volume",
                                                    "amount")),
                      ("up_count", pa.int64()), ("down_count", pa.int64()),
                      ("market", pa.string()), ("year", pa.int32())])


def _batch(rows: list[tuple[Any, ...]], period: str, pa: Any) -> Any:
    symbol, key, o, h, lo, c, vol, amount, up, down = zip(*rows)
    keys = np.array(key, dtype=np.int64)
    times = key_times(keys, period)
    years = (keys // (10**8 if period != "day" else 10**4)).astype(np.int32)
    prices = {n: np.array(v, dtype=np.float64) / 1000.0
              for n, v in (("open", o), ("high", h), ("low", lo), ("close", c))}
    return pa.RecordBatch.from_pydict(schema=_schema(pa), mapping={
        "symbol": pa.array(symbol, pa.string()),
        "datetime": pa.array(times, pa.timestamp("s")),
        **prices,
        "volume": pa.array(vol, pa.float64()), "amount": pa.array(amount, pa.float64()),
        "up_count": pa.array(up, pa.int64()), "down_count": pa.array(down, pa.int64()),
        "market": pa.array([s[:2] for s in symbol], pa.string()),
        "year": pa.array(years, pa.int32()),
    })
