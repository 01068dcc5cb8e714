"""The sync's writer: commits each security's update as one transaction, in the thread that
runs the sync.

The sync starts the next batch on the engine before it hands the writer the updates of the
one it took (the engine fetches without the interpreter lock), so network and writes overlap
without a thread of their own. An update compares the fetched bars with the stored ones over
the range they share: new bars are added, changed bars (server corrections) replaced and
logged, bars the server no longer has in that range removed and logged.
"""
from __future__ import annotations

import contextlib
import dataclasses
import json
import signal
import sqlite3
import threading
from typing import Any, Iterator, Optional, Sequence

import numpy as np

from . import blocks, reader
from .codec import to_rows
from .schema import XDXR_VALUES, crc_expression, transaction
from ..symbols import MARKET_NAMES
from ..frames import Bars


@dataclasses.dataclass
class Update:
    symbol: str
    period: str
    bars: Optional[Bars] = None        # None: no bars to write (a failure, or only tables)
    checked: int = 0                   # the market's latest date the server was asked at
    xdxr: Optional[list[tuple[Any, ...]]] = None   # None: unchanged (rows: see sources.Event)
    finance: Optional[dict[str, Any]] = None       # None: unchanged
    failure: Optional[str] = None                  # why the bars failed
    # The tables asked for ("xdxr", "finance"): None when got, else why not.
    parts: dict[str, Optional[str]] = dataclasses.field(default_factory=dict)


@dataclasses.dataclass
class Totals:
    updated: set[str] = dataclasses.field(default_factory=set)  # securities, whatever period
    added: int = 0
    replaced: int = 0
    removed: int = 0
    failures: dict[str, str] = dataclasses.field(default_factory=dict)

    @property
    def securities(self) -> int:
        return len(self.updated)


class Writer:
    """Writes the updates handed to `put`, each as it comes; `on_done(update)` is called
    after each one written. The writer owns `con`, its own connection, and closes it."""

    def __init__(self, con: sqlite3.Connection, sync_id: int, on_done: Any = None) -> None:
        self._con = con
        self._sync_id = sync_id
        self._calendar = reader.calendar_days(con)
        self._new_days: list[int] = []
        self._on_done = on_done
        self.totals = Totals()

    def put(self, update: Update) -> None:
        with _uninterrupted():
            self.apply(update)
        if self._on_done is not None:
            self._on_done(update)

    def close(self) -> None:
        self._con.close()

    def apply(self, u: Update) -> None:
        con = self._con
        with transaction(con):
            if u.failure is not None:
                self._event(u.symbol, u.period, "failed", u.failure)
                self.totals.failures[f"{u.symbol} {u.period}"] = u.failure
            elif u.bars is not None:
                self._bars(u)
            else:  # asked, and no new bar: confirmed up to date
                con.execute("UPDATE coverage SET checked=?, sync_id=? WHERE period=? AND "
                            "symbol=?", (u.checked, self._sync_id, u.period, u.symbol))
            if u.xdxr is not None:
                self._xdxr(u.symbol, u.xdxr)
            if u.finance is not None:
                self._finance(u.symbol, u.finance)
            for part, why in u.parts.items():
                self.failure(u.symbol, part, why)
        if u.failure is None and u.bars is not None:
            self.totals.updated.add(u.symbol)
            if u.period == "day":
                self._calendar.update(self._new_days)

    def failure(self, symbol: str, part: str, why: Optional[str]) -> None:
        """Records that `part` of `symbol` ("xdxr", "finance", or "securities" of a market)
        failed (`why`) or, with None, that it was got: the failure is over."""
        if why is None:
            self._con.execute("DELETE FROM failures WHERE symbol=? AND part=?", (symbol, part))
            return
        self._event(symbol, None, "failed", why)
        self._con.execute("INSERT OR REPLACE INTO failures VALUES (?, ?, ?, ?, NULL)",
                          (symbol, part, why, self._sync_id))
        self.totals.failures[f"{symbol} {part}"] = why

    def _event(self, symbol: str, period: str | None, kind: str, detail: str) -> None:
        self._con.execute("INSERT INTO sync_events VALUES (?, ?, ?, ?, ?, NULL)",
                          (self._sync_id, symbol, period, kind, detail))

    def _bars(self, u: Update) -> None:
        assert u.bars is not None
        con, period = self._con, u.period
        new = blocks.Series(*to_rows(u.bars, period))
        keys = new.keys
        n = len(keys)
        cover = reader.coverage_of(con, period, u.symbol)
        added = replaced = removed = 0
        if n:
            first_block = int(blocks.block_of(keys[0], period))
            stored = blocks.empty()
            if cover is not None and cover[1] is not None and cover[1] >= keys[0]:
                stored = reader.read_bars(con, u.symbol, period,
                                     lo=blocks.block_start(first_block, period))
            if not len(stored):
                write_bars(con, u.symbol, period, new, first_block)
                added = n
            else:
                added, replaced, removed = self._merge(u.symbol, period, stored, new,
                                                       first_block)
        self._new_days = [k for k in keys.tolist() if k not in self._calendar] \
            if period == "day" else []
        con.executemany("INSERT OR IGNORE INTO calendar VALUES (?, NULL)",
                        [(k,) for k in self._new_days])
        have = (cover[2] if cover else 0) + added - removed
        first = int(keys[0]) if n else None
        last = int(keys[-1]) if n else None
        if cover is not None:
            first = cover[0] if first is None or (cover[0] is not None and cover[0] < first) \
                else first
            last = cover[1] if last is None or (cover[1] is not None and cover[1] > last) else last
        con.execute("INSERT OR REPLACE INTO coverage VALUES (?, ?, ?, ?, ?, ?, ?, NULL)",
                    (period, u.symbol, first, last, have, u.checked, self._sync_id))
        self.totals.added += added
        self.totals.replaced += replaced
        self.totals.removed += removed

    def _merge(self, symbol: str, period: str, stored: blocks.Series, new: blocks.Series,
               first_block: int) -> tuple[int, int, int]:
        """Writes `new` over the stored blocks from `first_block` on; returns (added,
        replaced, removed) over the range the two share."""
        keys = new.keys
        inside = (stored.keys >= keys[0]) & (stored.keys <= keys[-1])
        old = stored.part(inside)
        at = np.searchsorted(keys, old.keys).clip(0, len(keys) - 1)
        kept = keys[at] == old.keys                  # stored bars the server still has
        mine = new.part(at[kept])
        same = _values(old.part(kept)) == _values(mine)
        changed = np.flatnonzero(~same.all(axis=0))
        gone = np.flatnonzero(~kept)
        for i in changed.tolist():
            self._event(symbol, period, "corrected", f"{int(mine.keys[i])}: "
                        f"{_text(old.part(kept), i)} -> {_text(mine, i)}")
        for i in gone.tolist():
            self._event(symbol, period, "removed", f"{int(old.keys[i])}: {_text(old, i)}")
        added = len(keys) - int(kept.sum())
        if added or len(changed) or len(gone):
            merged = blocks.concat([stored.part(stored.keys < keys[0]), new,
                                    stored.part(stored.keys > keys[-1])])
            write_bars(self._con, symbol, period, merged, first_block)
        return added, len(changed), len(gone)

    def _xdxr(self, symbol: str, rows: list[tuple[Any, ...]]) -> None:
        con = self._con
        con.execute("DELETE FROM xdxr WHERE symbol=?", (symbol,))
        con.executemany(
            "INSERT INTO xdxr VALUES (" + ",".join("?" * (5 + len(XDXR_VALUES))) + ", NULL)",
            [(symbol, i, *row) for i, row in enumerate(rows)])

    def _finance(self, symbol: str, record: dict[str, Any]) -> None:
        if not record:
            self._con.execute("DELETE FROM finance WHERE symbol=?", (symbol,))
            return
        self._con.execute("INSERT OR REPLACE INTO finance VALUES (?, ?, ?, NULL)",
                          (symbol, int(record.get("updated_date") or 0),
                           json.dumps(record, ensure_ascii=False)))


def write_bars(con: sqlite3.Connection, symbol: str, period: str, series: blocks.Series,
          replace_from: Optional[int] = None) -> None:
    """Stores `series` as the bars of `symbol` from block `replace_from` (the first block of
    the series when None) on: those blocks are replaced whole."""
    if replace_from is None and len(series):
        replace_from = int(blocks.block_of(series.keys[0], period))
    if replace_from is not None:
        con.execute(f"DELETE FROM {blocks.table(period)} WHERE symbol=? AND block>=?",
                    (symbol, replace_from))
    con.executemany(f"INSERT INTO {blocks.table(period)} VALUES ({','.join('?' * 15)})",
                    blocks.encode(symbol, series, period))


def remove_bars(con: sqlite3.Connection, period: str, symbol: str) -> None:
    """Removes the bars of a security and their coverage: a sync fetches them as new."""
    con.execute(f"DELETE FROM {blocks.table(period)} WHERE symbol=?", (symbol,))
    con.execute("DELETE FROM coverage WHERE symbol=? AND period=?", (symbol, period))


def remove_rows(con: sqlite3.Connection, table: str, symbol: str) -> None:
    """Removes the rows of a security from `table` (its events, its finance record)."""
    con.execute(f"DELETE FROM {table} WHERE symbol=?", (symbol,))


def remove_damaged(con: sqlite3.Connection, table: str) -> None:
    """Removes the rows of `table` whose checksums do not match."""
    con.execute(f"DELETE FROM {table} WHERE crc IS NOT {crc_expression(con, table)}")


def replace_calendar(con: sqlite3.Connection, days: set[int]) -> None:
    con.execute("DELETE FROM calendar")
    con.executemany("INSERT INTO calendar VALUES (?, NULL)", ((d,) for d in sorted(days)))


def log_events(con: sqlite3.Connection, sync_id: int, kind: str,
               events: Sequence[tuple[str, Optional[str], str]]) -> None:
    """Logs (symbol, period, detail) events of one kind in a sync's events."""
    con.executemany("INSERT INTO sync_events VALUES (?, ?, ?, ?, ?, NULL)",
                    [(sync_id, s, p, kind, detail) for s, p, detail in events])


def begin_sync(con: sqlite3.Connection, started: str, periods: Sequence[str]) -> int:
    """Logs a sync as running (one that still is was interrupted); returns its id."""
    con.execute("UPDATE sync_log SET status='interrupted' WHERE status='running'")
    sync_id = con.execute("INSERT INTO sync_log (started, periods, status) VALUES "
                          "(?, ?, 'running')", (started, ",".join(periods))).lastrowid
    assert sync_id is not None
    return sync_id


def end_sync(con: sqlite3.Connection, sync_id: int, finished: str, status: str,
             *counts: int) -> None:
    """Logs how a sync ended; `counts`: securities, bars added, bars replaced, securities
    failed and requests, when it did not raise."""
    if not counts:
        con.execute("UPDATE sync_log SET finished=?, status=? WHERE id=?",
                    (finished, status, sync_id))
        return
    con.execute("UPDATE sync_log SET finished=?, securities=?, bars_added=?, bars_replaced=?, "
                "failed=?, requests=?, status=? WHERE id=?",
                (finished, *counts, status, sync_id))


def analyze(con: sqlite3.Connection) -> None:
    """Refreshes SQLite's statistics (after a sync that added much)."""
    con.execute("ANALYZE")


def store_lists(con: sqlite3.Connection, lists: dict[int, list[tuple[Any, ...]]],
                failed: dict[int, str], day: int, sync_id: int) -> None:
    """Stores the security lists got, rows of (code, name, volunit, decimal_point,
    pre_close) by market (a security missing from its market's list is no longer in it), and
    records the markets whose list failed, whose stored lists are left as they are."""
    with transaction(con):
        for market, why in failed.items():
            con.execute("INSERT OR REPLACE INTO failures VALUES (?, 'securities', ?, ?, NULL)",
                        (MARKET_NAMES[market], why, sync_id))
            con.execute("INSERT INTO sync_events VALUES (?, ?, NULL, 'failed', ?, NULL)",
                        (sync_id, MARKET_NAMES[market], f"security list: {why}"))
        for market, rows in lists.items():
            prefix = MARKET_NAMES[market]
            con.execute("DELETE FROM failures WHERE symbol=? AND part='securities'", (prefix,))
            con.execute("UPDATE securities SET in_list=0 WHERE market=?", (market,))
            con.executemany(
                "INSERT INTO securities VALUES (?, ?, ?, ?, ?, ?, ?, 1, ?, ?, NULL) "
                "ON CONFLICT(symbol) DO UPDATE SET name=excluded.name, "
                "volunit=excluded.volunit, decimal_point=excluded.decimal_point, "
                "pre_close=excluded.pre_close, in_list=1, last_seen=excluded.last_seen",
                [(prefix + code, market, code, name, volunit, point, close, day, day)
                 for code, name, volunit, point, close in rows])


@contextlib.contextmanager
def _uninterrupted() -> Iterator[None]:
    """Ctrl-C held back until the block ends. SQLite calls back into Python for the checksums
    of a write, and a KeyboardInterrupt raised in a callback would be taken for the callback's
    failure: the write would fail as an SQL error instead of the sync being interrupted."""
    if threading.current_thread() is not threading.main_thread():
        yield  # signals are handled in the main thread only
        return
    caught: list[Any] = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: caught.append(frame))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if caught:
        if callable(previous):
            previous(signal.SIGINT, caught[0])
        elif previous == signal.SIG_DFL:
            signal.raise_signal(signal.SIGINT)


def _values(s: blocks.Series) -> np.ndarray[Any, Any]:
    counts = s.counts if s.counts is not None else np.zeros((2, len(s)), np.int64)
    return np.concatenate([s.prices.astype(np.float64), s.flows, counts.astype(np.float64)])


def _text(s: blocks.Series, i: int) -> str:
    o, h, lo, c = (x / 1000 for x in s.prices[:, i].tolist())
    return f"o={o:g} h={h:g} l={lo:g} c={c:g} v={s.flows[0, i]:g} a={s.flows[1, i]:g}"


__all__ = ["Writer", "Update", "Totals"]
