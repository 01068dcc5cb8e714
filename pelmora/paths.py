"""Files named by users, checked before they are opened: opening a FIFO waits for a writer,
and a directory or a device is no file of ours."""
from __future__ import annotations

import os
import stat
from pathlib import Path

__all__ = ["refuse_unless_regular"]

_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
          (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"))


def refuse_unless_regular(path: str | os.PathLike[str]) -> Path:
    """`path` as a Path when it is missing or a regular file (links followed); OSError naming
    it and what it is otherwise."""
    path = Path(path)
    try:
        mode = path.stat().st_mode
    except FileNotFoundError:
        return path
    if not stat.S_ISREG(mode):
        kind = next((name for test, name in _KINDS if test(mode)), "not a regular file")
        raise OSError(f"{path} is {kind}, not a regular file")
    return path
