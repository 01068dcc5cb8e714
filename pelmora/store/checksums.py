"""A CRC-32 of every stored row, in its table's ``crc`` column, checked where rows are read.

A row's checksum covers each of its values with its type (an integer, a real, a text, a blob or
NULL), so a damaged value, length or type shows. CRC-32 (`zlib.crc32`) detects every error
confined to 32 consecutive bits, hence any one damaged byte, and takes about a quarter of
blake2b's time over a block of bars (see docs/design.md).

The blocks of bars get theirs when they are encoded (`blocks.encode`); the other tables get
theirs from triggers (`schema.crc_triggers`) that call the SQL function `pelmora_crc`,
registered on every connection of the store, so that no write can forget it.
"""
from __future__ import annotations

import sqlite3
import struct
import zlib
from typing import Any, Iterator

FUNCTION = "pelmora_crc"
_TAGGED_INT, _TAGGED_REAL = struct.Struct("<cq"), struct.Struct("<cd")


def _parts(values: tuple[Any, ...]) -> Iterator[bytes]:
    for v in values:
        if v is None:
            yield b"n"
        elif isinstance(v, int):
            yield _TAGGED_INT.pack(b"i", v)
        elif isinstance(v, float):
            yield _TAGGED_REAL.pack(b"f", v)
        elif isinstance(v, str):
            text = v.encode("utf-8", "surrogatepass")
            yield _TAGGED_INT.pack(b"s", len(text))
            yield text
        else:
            yield _TAGGED_INT.pack(b"b", len(v))
            yield bytes(v)


def of(*values: Any) -> int:
    """The checksum of a row's values, in column order."""
    return zlib.crc32(b"".join(_parts(values)))


def attach(con: sqlite3.Connection) -> None:
    con.create_function(FUNCTION, -1, of, deterministic=True)
