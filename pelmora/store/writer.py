"""The sync's one writer: a thread that commits each security's update as one transaction.

The fetching threads hand it `Update`s through a queue and go on fetching while it writes (the
engine waits without the interpreter lock, so network and writes overlap). An update compares
the fetched bars with the stored ones over the range they share: new bars are added, changed
bars (server corrections) replaced and logged, bars the server no longer has in that range
removed and logged.
"""
from __future__ import annotations

import dataclasses
import json
import queue
import sqlite3
import threading
from typing import Any, Optional

import numpy as np

from . import blocks
from .codec import to_rows
from .schema import XDXR_VALUES, transaction
from ..frames import Bars


@dataclasses.dataclass
class Update:
    symbol: str
    period: str
    bars: Optional[Bars] = None        # None: no bars to write (a failure, or only tables)
    checked: int = 0                   # the market's latest date the server was asked at
    xdxr: Optional[list[dict[str, Any]]] = None    # None: unchanged
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
    """Writes the updates handed to `put` in order. What waits is bounded by bars, not by
    updates: a first sync's updates are whole histories, a day's update of a whole market is
    a bar a security, and making its fetching threads wait for the writer idles connections.

    The writer owns `con`, its own connection, and closes it when it ends: a connection shared
    with the thread that plans the sync would deadlock. The checksum triggers call back into
    Python while SQLite holds the connection's mutex, and the other thread may hold the
    interpreter lock while it waits for that mutex."""

    def __init__(self, con: sqlite3.Connection, sync_id: int,
                 on_done: Any = None, budget: int = 1_000_000) -> None:
        self._con = con
        self._sync_id = sync_id
        self._queue: queue.Queue[Optional[Update]] = queue.Queue()
        self._budget = budget
        self._waiting = 0                  # bars handed over and not yet written
        self._room = threading.Condition()
        self._calendar = {r[0] for r in con.execute("SELECT date FROM calendar")}
        self._new_days: list[int] = []
        self._on_done = on_done
        self.totals = Totals()
        self.error: Optional[BaseException] = None
        self._stopped = False              # abort(): what is queued is dropped
        self._thread = threading.Thread(target=self._run, name="pelmora-store-writer",
                                        daemon=True)
        self._thread.start()

    def put(self, update: Update) -> None:
        if self.error is not None:
            raise self.error
        n = _bars_of(update)
        with self._room:
            self._room.wait_for(lambda: self._stopped or self._waiting == 0
                                or self._waiting + n <= self._budget)
            if self._stopped:
                raise RuntimeError("the sync was stopped")
            self._waiting += n
        self._queue.put(update)

    def abort(self) -> None:
        """Drops the updates not yet written and waits for the one being written (a
        transaction: whole or not at all)."""
        with self._room:
            self._stopped = True
            self._room.notify_all()
        self._queue.put(None)
        self._thread.join()
        self._con.close()

    def close(self) -> None:
        """Waits until every update is written; raises what stopped the writer."""
        self._queue.put(None)
        self._thread.join()
        self._con.close()
        if self.error is not None:
            raise self.error

    def _run(self) -> None:
        while True:
            update = self._queue.get()
            if update is None:
                return
            try:
                if self.error is None and not self._stopped:
                    self.apply(update)
            except BaseException as exc:  # stops the sync; the update rolled back whole
                self.error = exc
            finally:
                with self._room:
                    self._waiting -= _bars_of(update)
                    self._room.notify_all()
            if self._on_done is not None and self.error is None and not self._stopped:
                self._on_done(update)

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
        cover = con.execute("SELECT first, last, bars FROM coverage WHERE period=? AND symbol=?",
                            (period, u.symbol)).fetchone()
        added = replaced = removed = 0
        if n:
            first_block = int(blocks.block_of(keys[0], period))
            stored = blocks.empty()
            if cover is not None and cover[1] is not None and cover[1] >= keys[0]:
                stored = blocks.read(con, u.symbol, period,
                                     lo=blocks.block_start(first_block, period))
            if not len(stored):
                blocks.write(con, u.symbol, period, new, first_block)
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
            blocks.write(self._con, symbol, period, merged, first_block)
        return added, len(changed), len(gone)

    def _xdxr(self, symbol: str, records: list[dict[str, Any]]) -> None:
        con = self._con
        con.execute("DELETE FROM xdxr WHERE symbol=?", (symbol,))
        con.executemany(
            "INSERT INTO xdxr VALUES (" + ",".join("?" * (5 + len(XDXR_VALUES))) + ", NULL)",
            [(symbol, i, r["year"] * 10000 + r["month"] * 100 + r["day"], r["category"],
              str(r["name"]), *(r.get(k) for k in XDXR_VALUES))
             for i, r in enumerate(records)])

    def _finance(self, symbol: str, record: dict[str, Any]) -> None:
        if not record:
            self._con.execute("DELETE FROM finance WHERE symbol=?", (symbol,))
            return
        self._con.execute("INSERT OR REPLACE INTO finance VALUES (?, ?, ?, NULL)",
                          (symbol, int(record.get("updated_date") or 0),
                           json.dumps(record, ensure_ascii=False)))


def _bars_of(update: Update) -> int:
    return len(update.bars) if update.bars is not None else 0


def _values(s: blocks.Series) -> np.ndarray[Any, Any]:
    counts = s.counts if s.counts is not None else np.zeros((2, len(s)), np.int64)
    return np.concatenate([s.prices.astype(np.float64), s.flows, counts.astype(np.float64)])


def _text(s: blocks.Series, i: int) -> str:
    o, h, lo, c = (x / 1000 for x in s.prices[:, i].tolist())
    return f"o={o:g} h={h:g} l={lo:g} c={c:g} v={s.flows[0, i]:g} a={s.flows[1, i]:g}"


__all__ = ["Writer", "Update", "Totals"]
