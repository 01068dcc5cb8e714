"""`export`: the store's bars as Hive-partitioned Parquet, ``period=/market=/year=``, which
Spark, Trino, DuckDB, Polars and pyarrow read as they are (``pip install pelmora[export]``).

Columns: ``symbol``, ``type`` (the security type, dictionary-encoded), ``datetime`` (a
timestamp of naive exchange-local time, as `Store.bars` gives it), prices in yuan, ``volume``
in units (shares, or bonds for bonds), ``amount``, ``up_count`` and ``down_count`` (null for
securities that are not indices); the partition columns come from the folder names. Each file's
key-value metadata says the units (``pelmora.units``: JSON of column to unit) and the types a
``type`` may be (``pelmora.types``: a JSON list), for readers that do not know pelmora.

Arrow's threads pull the batches from a Python generator: the folder is made (or refused)
before they start, and on every way out the reader and the generator are closed, so that no
Arrow thread calls into Python once the export has returned or raised (one doing so while the
interpreter exits aborts it).
"""
from __future__ import annotations

import errno
import json
import os
import sqlite3
from pathlib import Path
from typing import Any, Generator

import numpy as np

from .. import instruments
from . import blocks, reader, schema
from .codec import key_times

_BLOCKS = 2_000       # blocks a batch: half a million day bars
# The unit of each column of the files that has one.
UNITS = {
    **dict.fromkeys(blocks.PRICE_NAMES, "the trading currency: yuan (B shares: US or Hong Kong "
                                        "dollars); index points for indices"),
    "volume": "units: shares (bonds: bonds)",
    "amount": "the trading currency: yuan (B shares: US or Hong Kong dollars)",
    "up_count": "securities", "down_count": "securities",
    "datetime": "naive Beijing time; a minute bar at the minute it ends",
}


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
        types: dict[str, str] = {}

        def batches(cur: Any = cur, counted: list[int] = counted, period: str = period,
                    types: dict[str, str] = types) -> Generator[Any, None, None]:
            while rows := cur.fetchmany(_BLOCKS):
                new = list({r[0] for r in rows if r[0] not in types})
                types.update(zip(new, reader.types_of(con, new)))
                batch = _batch(reader.verified(con, period, rows), period, types, pa)
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
    return pa.schema([("symbol", pa.string()), ("type", pa.dictionary(pa.int8(), pa.string())),
                      ("datetime", pa.timestamp("s")),
                      *((n, pa.float64()) for n in ("open", "high", "low", "close", "volume",
                                                    "amount")),
                      ("up_count", pa.int64()), ("down_count", pa.int64()),
                      ("market", pa.string()), ("year", pa.int32())],
                     metadata={"pelmora.units": json.dumps(UNITS),
                               "pelmora.types": json.dumps(list(instruments.TYPES))})


def _batch(rows: list[tuple[Any, ...]], period: str, types: dict[str, str], pa: Any) -> Any:
    series = blocks.decode(r[5:-1] for r in rows)
    lengths = [r[4] for r in rows]
    symbols = np.repeat(np.array([r[0] for r in rows], dtype=object), lengths)
    counted = np.repeat([r[12] is not None for r in rows], lengths)
    counts = series.counts if series.counts is not None else np.zeros((2, len(series)), np.int64)
    keys = series.keys
    years = (keys // (10**8 if period != "day" else 10**4)).astype(np.int32)
    prices = {n: series.prices[i] / 1000.0 for i, n in enumerate(blocks.PRICE_NAMES)}
    kinds = np.repeat(np.array([instruments.TYPES.index(types[r[0]]) for r in rows], np.int8),
                      lengths)
    return pa.RecordBatch.from_pydict(schema=_schema(pa), mapping={
        "symbol": pa.array(symbols, pa.string()),
        "type": pa.DictionaryArray.from_arrays(kinds, pa.array(instruments.TYPES, pa.string())),
        "datetime": pa.array(key_times(keys, period), pa.timestamp("s")),
        **prices,
        "volume": pa.array(series.flows[0], pa.float64()),
        "amount": pa.array(series.flows[1], pa.float64()),
        "up_count": pa.array(counts[0], pa.int64(), mask=~counted),
        "down_count": pa.array(counts[1], pa.int64(), mask=~counted),
        "market": pa.array([s[:2] for s in symbols], pa.string()),
        "year": pa.array(years, pa.int32()),
    })
