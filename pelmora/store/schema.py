"""The store's tables, the schema version and the way from each version to the next.

One SQLite file in WAL mode: readers in other processes keep their connections (and their
snapshot) while a sync writes, and every security's update is one transaction.

Bars: a table of blocks per period (see `blocks`), one row per security and two months (day
bars) or a month (minute bars), and a view per period (``bars_day``, ``bars_5m``, ``bars_1m``,
see `views`) that shows them as one row per bar. ``datetime`` is an integer that reads as a
date: YYYYMMDD for day bars, YYYYMMDDHHMM for minute bars (the minute the bar ends). Prices are
integer thousandths of a yuan (index points for indices), the unit the servers send, so a
stored price is exactly the decoded one; volume (in units: shares, or bonds for bonds) and
amount are doubles.

Version 1 kept a row per bar; version 2 moved them into blocks, which read and write some
hundred times fewer rows; version 3 gave every row a checksum (see `checksums`) and added the
``failures`` table: what the latest syncs could not get, until one gets it; version 4 counts
volumes in units rather than the servers' lots (``meta`` key ``volume_unit``).
"""
from __future__ import annotations

import contextlib
import sqlite3
from pathlib import Path
from typing import Any, Callable, Iterator

import numpy as np

from .. import instruments, records, units
from ..paths import refuse_unless_regular
from ..symbols import MARKETS
from . import blocks, checksums, views
from .errors import StoreCorrupt, naming

SCHEMA_VERSION = 4
DB_NAME = "pelmora.sqlite"
STORED_PERIODS = ("day", "5m", "1m")

# The value columns of the ex-rights table, in record order.
XDXR_VALUES = records.XDXR_VALUES


def bars_table(period: str) -> str:
    """The table of blocks of `period`."""
    if period not in STORED_PERIODS:
        raise ValueError(f"invalid period {period!r}: the store keeps "
                         f"{', '.join(STORED_PERIODS)}")
    return blocks.table(period)


def _v1_bars_ddl(period: str) -> str:
    return (f"CREATE TABLE IF NOT EXISTS bars_{period} ("
            "symbol TEXT NOT NULL, datetime INTEGER NOT NULL, open INTEGER NOT NULL, "
            "high INTEGER NOT NULL, low INTEGER NOT NULL, close INTEGER NOT NULL, "
            "volume REAL NOT NULL, amount REAL NOT NULL, up_count INTEGER, down_count INTEGER, "
            "PRIMARY KEY (symbol, datetime)) WITHOUT ROWID")


# Every table but the bars, as version 1 made them.
_CATALOGUE = [
    "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID",
    # Never deleted: a security that leaves the list keeps its row and its bars.
    "CREATE TABLE securities (symbol TEXT PRIMARY KEY, market INTEGER NOT NULL, "
    "code TEXT NOT NULL, name TEXT NOT NULL, volunit INTEGER, decimal_point INTEGER, "
    "pre_close REAL, in_list INTEGER NOT NULL DEFAULT 1, first_seen TEXT, last_seen TEXT) "
    "WITHOUT ROWID",
    "CREATE TABLE xdxr (symbol TEXT NOT NULL, seq INTEGER NOT NULL, date INTEGER, "
    "category INTEGER NOT NULL, name TEXT NOT NULL, "
    + ", ".join(f"{k} REAL" for k in XDXR_VALUES) + ", PRIMARY KEY (symbol, seq)) WITHOUT ROWID",
    "CREATE TABLE finance (symbol TEXT PRIMARY KEY, updated_date INTEGER, record TEXT NOT NULL)"
    " WITHOUT ROWID",
    "CREATE TABLE calendar (date INTEGER PRIMARY KEY) WITHOUT ROWID",
    # What the server's series was read through for each security: `bars` is the number of
    # bars the sync stored, `checked` the market's latest date when it last asked.
    "CREATE TABLE coverage (period TEXT NOT NULL, symbol TEXT NOT NULL, first INTEGER, "
    "last INTEGER, bars INTEGER NOT NULL, checked INTEGER NOT NULL, sync_id INTEGER NOT NULL, "
    "PRIMARY KEY (period, symbol)) WITHOUT ROWID",
    "CREATE TABLE sync_log (id INTEGER PRIMARY KEY, started TEXT NOT NULL, finished TEXT, "
    "periods TEXT NOT NULL, securities INTEGER NOT NULL DEFAULT 0, "
    "bars_added INTEGER NOT NULL DEFAULT 0, bars_replaced INTEGER NOT NULL DEFAULT 0, "
    "failed INTEGER NOT NULL DEFAULT 0, requests INTEGER NOT NULL DEFAULT 0, status TEXT)",
    # One row per security and period updated, replaced bar or failure.
    "CREATE TABLE sync_events (sync_id INTEGER NOT NULL, symbol TEXT NOT NULL, period TEXT, "
    "kind TEXT NOT NULL, detail TEXT)",
]


def create_v1(con: sqlite3.Connection) -> None:
    """The tables of a version 1 store (for the migration's tests)."""
    for ddl in _CATALOGUE + [_v1_bars_ddl(p) for p in STORED_PERIODS]:
        con.execute(ddl)
    con.execute("INSERT INTO meta VALUES ('schema_version', '1')")


def _v1_to_v2(con: sqlite3.Connection) -> None:
    """Moves every bar of the row tables into blocks."""
    for period in STORED_PERIODS:
        for ddl in blocks.ddls(period):
            con.execute(ddl)
        symbols = [r[0] for r in con.execute(f"SELECT DISTINCT symbol FROM bars_{period}")]
        for symbol in symbols:
            rows = con.execute(f"SELECT datetime, open, high, low, close, volume, amount, "
                               f"up_count, down_count FROM bars_{period} WHERE symbol=? "
                               f"ORDER BY datetime", (symbol,)).fetchall()
            keys, o, h, lo, c, vol, amount, up, down = zip(*rows)
            counts = None
            if any(x is not None for x in up):
                counts = np.array([[x or 0 for x in up], [x or 0 for x in down]], np.int64)
            series = blocks.Series(np.array(keys, np.int64), np.array([o, h, lo, c], np.int64),
                                   np.array([vol, amount], np.float64), counts)
            con.executemany(f"INSERT INTO {blocks.table(period)} VALUES ({','.join('?' * 15)})",
                            blocks.encode(symbol, series, period))
        con.execute(f"DROP TABLE bars_{period}")


# What a sync could not get and no later sync has got yet: a security's ex-rights events or
# finance record (part "xdxr", "finance"), or a market's security list (symbol "sh", part
# "securities").
_FAILURES = ("CREATE TABLE IF NOT EXISTS failures (symbol TEXT NOT NULL, part TEXT NOT NULL, "
             "detail TEXT NOT NULL, sync_id INTEGER NOT NULL, crc INTEGER, "
             "PRIMARY KEY (symbol, part)) WITHOUT ROWID")
# Every table with checksums kept by triggers: all but the blocks, whose writer computes them.
CHECKED_TABLES = ("meta", "securities", "xdxr", "finance", "calendar", "coverage", "sync_log",
                  "sync_events", "failures")


def _v2_to_v3(con: sqlite3.Connection) -> None:
    """Gives every row a checksum, computed from what is stored now."""
    con.execute(_FAILURES)
    for table in CHECKED_TABLES + tuple(blocks.table(p) for p in STORED_PERIODS):
        if "crc" not in {r[1] for r in con.execute(f"PRAGMA table_info({table})")}:
            con.execute(f"ALTER TABLE {table} ADD COLUMN crc INTEGER")
    for table in CHECKED_TABLES:
        con.execute(f"UPDATE {table} SET crc = {crc_expression(con, table)}")
        for ddl in crc_triggers(con, table):
            con.execute(ddl)
    for period in STORED_PERIODS:
        # A row at a time: a Python function over millions of blocks in one UPDATE would hold
        # every changed page at once.
        table = blocks.table(period)
        names = ", ".join(crc_columns(con, table))
        rows = con.execute(f"SELECT rowid, {names} FROM {table}")
        while batch := rows.fetchmany(2000):
            con.executemany(f"UPDATE {table} SET crc=? WHERE rowid=?",
                            [(checksums.of(*r[1:]), r[0]) for r in batch])


# What stored volumes count, in `meta` under "volume_unit".
VOLUME_UNIT = "units"


def _v3_to_v4(con: sqlite3.Connection) -> None:
    """Counts every stored bar volume in units: the lots multiplied by each security's lot
    size, the security list's or, for a security without a listed one, its code range's."""
    sizes = dict(con.execute("SELECT symbol, volunit FROM securities WHERE volunit > 0"))
    for period in STORED_PERIODS:
        table = blocks.table(period)
        # One security at a time (its blocks rewritten with their checksums), as in version 3.
        symbols = [r[0] for r in con.execute(f"SELECT DISTINCT symbol FROM {table}")]
        for symbol in symbols:
            volunit = sizes.get(symbol) or _range_volunit(con, symbol)
            rows = con.execute(f"SELECT rowid, {blocks.ROW} FROM {table} WHERE symbol=?",
                               (symbol,)).fetchall()
            # A damaged block is left as it is: a new checksum would hide the damage, which
            # the check reports and a sync repairs.
            con.executemany(f"UPDATE {table} SET volume=?, crc=? WHERE rowid=?",
                            [_in_units(r[1:], volunit) + (r[0],) for r in rows
                             if checksums.of(*r[1:-1]) == r[-1]])
    con.execute("INSERT OR REPLACE INTO meta (key, value) VALUES ('volume_unit', ?)",
                (VOLUME_UNIT,))


def _range_volunit(con: sqlite3.Connection, symbol: str) -> int:
    """The lot size of a security that no security list gave: its code range's. A symbol
    that names no code of a known market has none: the store is not migrated."""
    market, code = MARKETS.get(symbol[:2]), symbol[2:]
    if market is None or len(code) != 6 or not code.isdigit():
        raise RuntimeError(f"{store_file(con)}: the lot size of {symbol} is unknown, so its "
                           f"stored volumes cannot be counted in units; a fresh sync is "
                           f"needed (move the store aside and sync again)")
    return instruments.kind_of(market, code).volunit


def _in_units(row: tuple[Any, ...], volunit: int) -> tuple[bytes, int]:
    """The volume blob of a stored block (`blocks.ROW`) in units, and the block's checksum
    with it."""
    at = blocks.ROW_VOLUME
    lots = np.frombuffer(row[at], blocks.FLOW_DTYPE)
    volume = units.to_units(lots, volunit).astype(blocks.FLOW_DTYPE).tobytes()
    values = (*row[:at], volume, *row[at + 1:-1])
    return volume, checksums.of(*values)


def crc_columns(con: sqlite3.Connection, table: str) -> list[str]:
    """The columns of `table` that its checksum covers: all but ``crc``."""
    return [r[1] for r in con.execute(f"PRAGMA main.table_info({table})") if r[1] != "crc"]


def _key(con: sqlite3.Connection, table: str) -> list[str]:
    key = sorted((r[5], r[1]) for r in con.execute(f"PRAGMA main.table_info({table})") if r[5])
    return [name for _, name in key] or ["rowid"]


def crc_expression(con: sqlite3.Connection, table: str) -> str:
    return f"{checksums.FUNCTION}({', '.join(crc_columns(con, table))})"


def crc_triggers(con: sqlite3.Connection, table: str) -> list[str]:
    """The triggers that keep the ``crc`` of `table`'s rows: after every insert, and after an
    update of any other column (the update of ``crc`` itself fires nothing)."""
    where = " AND ".join(f"{k} = NEW.{k}" for k in _key(con, table))
    body = f"BEGIN UPDATE {table} SET crc = {crc_expression(con, table)} WHERE {where}; END"
    return [f"CREATE TRIGGER IF NOT EXISTS {table}_crc_insert AFTER INSERT ON {table} {body}",
            f"CREATE TRIGGER IF NOT EXISTS {table}_crc_update AFTER UPDATE OF "
            f"{', '.join(crc_columns(con, table))} ON {table} {body}"]


def store_file(con: sqlite3.Connection) -> str:
    """The file of `con`'s main database."""
    for _, name, path in con.execute("PRAGMA database_list"):
        if name == "main":
            return str(path)
    return "the store"


# MIGRATIONS[v] takes a store of version v to v + 1, inside one transaction.
MIGRATIONS: dict[int, Callable[[sqlite3.Connection], None]] = {1: _v1_to_v2, 2: _v2_to_v3,
                                                                3: _v3_to_v4}


def connect(folder: str | Path, *, readonly: bool = False) -> sqlite3.Connection:
    """A connection to the store in `folder`, created (and migrated) unless `readonly`.
    SQLite's errors name the file."""
    folder = Path(folder)
    path = refuse_unless_regular(folder / DB_NAME)
    if readonly and not path.exists():
        raise FileNotFoundError(f"no pelmora store in {folder} (no {DB_NAME})")
    with naming(path):
        return _connect(folder, path, readonly)


def _connect(folder: Path, path: Path, readonly: bool) -> sqlite3.Connection:
    if readonly:
        con = sqlite3.connect(f"file:{path}?mode=ro", uri=True, isolation_level=None,
                              check_same_thread=False)
    else:
        folder.mkdir(parents=True, exist_ok=True)
        con = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    try:
        if not readonly:
            con.execute("PRAGMA journal_mode=WAL")
            # A commit survives the process being killed; power loss may drop the last ones,
            # which a later sync fetches again.
            con.execute("PRAGMA synchronous=NORMAL")
        con.execute("PRAGMA busy_timeout=10000")
        con.execute("PRAGMA cache_size=-65536")
        checksums.attach(con)
        if not readonly:
            _create_or_migrate(con)
        else:
            version = schema_version(con)
            if version != SCHEMA_VERSION:
                raise RuntimeError(f"store {path} has schema version {version}; this pelmora "
                                   f"reads version {SCHEMA_VERSION} (a sync migrates it)")
    except BaseException:
        con.close()
        raise
    views.attach(con, store_file(con))
    for period in STORED_PERIODS:
        con.execute(_view_ddl(period))
    if readonly:
        # A read-only connection still lets SQL open another file for writing (ATTACH with
        # mode=rw, VACUUM INTO a copy): a reader's SQL may open nothing.
        con.set_authorizer(_refuse_attach)
    return con


def _view_ddl(period: str) -> str:
    """The temporary view of the bars of `period` (see `views`), for each connection."""
    fields = ", ".join(f"json_extract(r.value, '$[{i}]') AS {name}"
                       for i, name in enumerate(views.FIELDS))
    return (f"CREATE TEMP VIEW IF NOT EXISTS bars_{period} AS SELECT b.symbol AS symbol, "
            f"{fields} FROM main.{blocks.table(period)} AS b, "
            f"json_each({views.FUNCTION}({', '.join('b.' + f for f in views.ARGS)})) AS r")


def _refuse_attach(action: int, *args: object) -> int:
    return sqlite3.SQLITE_DENY if action == sqlite3.SQLITE_ATTACH else sqlite3.SQLITE_OK


@contextlib.contextmanager
def transaction(con: sqlite3.Connection) -> Iterator[None]:
    """A write transaction, committed when the block ends and rolled back when it raises. SQLite
    has rolled back by itself after some errors (a full disk, for one): the error raised is
    then the block's, never a failed ROLLBACK's."""
    con.execute("BEGIN IMMEDIATE")
    try:
        yield
        con.execute("COMMIT")
    except BaseException:
        if con.in_transaction:
            with contextlib.suppress(sqlite3.Error):
                con.execute("ROLLBACK")
        raise


def schema_version(con: sqlite3.Connection) -> int:
    try:
        row = con.execute("SELECT value FROM meta WHERE key='schema_version'").fetchone()
    except sqlite3.OperationalError:
        return 0
    if row and not str(row[0]).isdigit():
        raise StoreCorrupt(f"{store_file(con)}: the schema version {row[0]!r} is no number")
    return int(row[0]) if row else 0


def _create_or_migrate(con: sqlite3.Connection) -> None:
    with transaction(con):
        version = schema_version(con)
        if version == 0:  # made as version 2, then migrated as any other
            for ddl in _CATALOGUE:
                con.execute(ddl)
            for period in STORED_PERIODS:
                for ddl in blocks.ddls(period):
                    con.execute(ddl)
            version = 2
        if version > SCHEMA_VERSION:
            raise RuntimeError(f"store has schema version {version}, newer than this pelmora's "
                               f"{SCHEMA_VERSION}: upgrade pelmora")
        while version < SCHEMA_VERSION:
            MIGRATIONS[version](con)
            version += 1
        con.execute("INSERT OR REPLACE INTO meta (key, value) VALUES ('schema_version', ?)",
                    (str(version),))
