"""The ``bars_day``, ``bars_5m`` and ``bars_1m`` views: the stored blocks as one row per bar, for
SQL (`Store.sql`, ``pelmora query``).

SQLite cannot read the blocks' arrays itself, so each connection of the store gets a function
that turns a block into a JSON array of rows, which SQLite's own ``json_each`` then walks. A
query that names a symbol reads only that security's blocks; one that scans a whole market
expands every block (seconds for millions of bars), where `Store.bars_many` reads the blocks
straight into arrays. The function checks each block's checksum: SQLite reports a failing
function as "user-defined function raised exception", so the error it raised is kept for
`raised` to give back.
"""
from __future__ import annotations

import array
import json
import sqlite3
import sys
import threading
from typing import Any, Optional

from . import blocks, checksums
from .errors import StoreCorrupt

FUNCTION = "pelmora_bars"
FIELDS = ("datetime", *blocks.PRICE_NAMES, "volume", "amount", "up_count", "down_count")
ARGS = ("symbol", "block", "first", "last", "bars", *FIELDS, "crc")
_raised = threading.local()


def raised() -> Optional[BaseException]:
    """The error the function last raised in this thread, once."""
    exc, _raised.exc = getattr(_raised, "exc", None), None
    return exc


def _numbers(code: str, blob: bytes) -> list[Any]:
    values = array.array(code, blob)
    if sys.byteorder == "big":
        values.byteswap()
    return values.tolist()


def _rows(*columns: Optional[bytes]) -> str:
    # array and json rather than numpy: a block is some dozens of bars, where numpy's fixed
    # costs would be most of the work.
    keys, *rest = columns[5:-1]
    assert keys is not None
    lists = [_numbers("q", keys)]
    for code, blob in zip("iiiiddii", rest):
        lists.append(_numbers(code, blob) if blob is not None else [None] * len(lists[0]))
    return json.dumps(list(zip(*lists)))


def attach(con: sqlite3.Connection, path: str) -> None:
    """Gives `con` the function that the views call; `path` names the store's file in its
    errors."""
    def rows(*columns: Any) -> str:
        if checksums.of(*columns[:-1]) != columns[-1]:
            _raised.exc = StoreCorrupt(f"{path}: the bars of {columns[0]} are damaged (block "
                                       f"{columns[1]}: checksum mismatch); a sync fetches "
                                       f"them again")
            raise _raised.exc
        return _rows(*columns)
    con.create_function(FUNCTION, len(ARGS), rows, deterministic=True)
