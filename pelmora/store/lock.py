"""One sync at a time on a store: an exclusive lock on STORE/sync.lock, held for the sync.

The kernel drops the lock when the process ends, however it ends, so a killed sync never
leaves a stale lock behind.
"""
from __future__ import annotations

import fcntl
import os
from pathlib import Path


class StoreBusy(RuntimeError):
    """Another sync holds the store."""


class SyncLock:
    def __init__(self, folder: str | Path) -> None:
        self.path = Path(folder) / "sync.lock"
        self._fd = -1

    def __enter__(self) -> SyncLock:
        self.path.parent.mkdir(parents=True, exist_ok=True)
        fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.pread(fd, 32, 0).decode(errors="replace").strip() or "another process"
            os.close(fd)
            raise StoreBusy(f"another sync is running on {self.path.parent} (pid {holder}); "
                            f"wait for it to finish") from None
        os.ftruncate(fd, 0)
        os.pwrite(fd, str(os.getpid()).encode(), 0)
        self._fd = fd
        return self

    def __exit__(self, *exc: object) -> None:
        if self._fd >= 0:
            os.ftruncate(self._fd, 0)
            os.close(self._fd)
            self._fd = -1
