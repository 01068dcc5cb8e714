"""A local market-data store: `sync` fills it from HQ servers, `Store` reads it.

The store is one folder holding one SQLite database in WAL mode (see `pelmora.store.schema`):
readers in other processes keep reading the last committed state while a sync writes, and a
second sync is refused (`StoreBusy`). Every row carries a checksum: a damaged one raises
`StoreCorrupt`, naming the file.
"""
from .errors import StoreCorrupt
from .lock import StoreBusy
from .reader import Store
from .sync import SyncSummary, sync

__all__ = ["Store", "StoreBusy", "StoreCorrupt", "SyncSummary", "sync"]
