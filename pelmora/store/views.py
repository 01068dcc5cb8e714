"""The ``bars_day``, ``bars_5m`` and ``bars_1m`` views: the stored blocks as one row per bar, for
SQL (`Store.sql`, ``pelmora query``).

SQLite cannot read the blocks' arrays itself, so each connection of the store gets a function
that turns a block into a JSON array of rows, which SQLite's own ``json_each`` then walks. A
query that names a symbol reads only that security's blocks; one that scans a whole market
expands every block (seconds for millions of bars), where `Store.bars_many` reads the blocks
straight into arrays.
"""
from __future__ import annotations

import json
import sqlite3
from typing import Any, Iterable, Optional

from . import blocks

FUNCTION = "pelmora_bars"
_FIELDS = ("datetime", *blocks.PRICE_NAMES, "volume", "amount", "up_count", "down_count")


def _rows(*columns: Optional[bytes]) -> str:
    series = blocks.decode([columns])
    lists: list[Any] = [series.keys.tolist(), *series.prices.tolist(), *series.flows.tolist()]
    if series.counts is not None:
        lists += series.counts.tolist()
    else:
        lists += [[None] * len(series)] * 2
    return json.dumps(list(zip(*lists)))


def attach(con: sqlite3.Connection, periods: Iterable[str]) -> None:
    """Gives `con` the function and the temporary views of `periods`."""
    con.create_function(FUNCTION, len(_FIELDS), _rows, deterministic=True)
    for period in periods:
        fields = ", ".join(f"json_extract(r.value, '$[{i}]') AS {name}"
                           for i, name in enumerate(_FIELDS))
        con.execute(f"CREATE TEMP VIEW IF NOT EXISTS bars_{period} AS SELECT b.symbol AS "
                    f"symbol, {fields} FROM main.{blocks.table(period)} AS b, "
                    f"json_each({FUNCTION}({', '.join('b.' + f for f in _FIELDS)})) AS r")
