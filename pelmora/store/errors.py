"""The store's errors name its file: SQLite's own ("file is not a database", "database disk
image is malformed", "database or disk is full", I/O errors) keep their class and message with
the file before them, and damaged rows raise `StoreCorrupt`."""
from __future__ import annotations

import contextlib
import functools
import sqlite3
from pathlib import Path
from typing import Any, Callable, Iterator, TypeVar

F = TypeVar("F", bound=Callable[..., Any])


class StoreCorrupt(sqlite3.DatabaseError):
    """Stored rows whose checksums do not match: the file was damaged after they were
    written. The message names the file and what is damaged."""


def with_file(exc: sqlite3.Error, path: str | Path) -> sqlite3.Error:
    """`exc`, or an error of its class whose message starts with `path` (SQLite's own
    messages name no file)."""
    text = str(exc)
    if str(path) in text:
        return exc
    named = type(exc)(f"{path}: {text}")
    for attr in ("sqlite_errorcode", "sqlite_errorname"):
        if hasattr(exc, attr):
            setattr(named, attr, getattr(exc, attr))
    return named


@contextlib.contextmanager
def naming(path: str | Path) -> Iterator[None]:
    """Raises the SQLite errors of the block with `path` in their message."""
    try:
        yield
    except sqlite3.Error as exc:
        named = with_file(exc, path)
        if named is exc:
            raise
        raise named from exc


def names_file(method: F) -> F:
    """A method of an object with a `file` attribute whose SQLite errors name that file."""
    @functools.wraps(method)
    def wrapper(self: Any, *args: Any, **kwargs: Any) -> Any:
        with naming(self.file):
            return method(self, *args, **kwargs)
    return wrapper  # type: ignore[return-value]
