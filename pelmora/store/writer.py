"""The sync's one writer: a thread that commits each security's update as one transaction.

The fetching threads hand it `Update`s through a queue and go on fetching while it writes (the
engine waits without the interpreter lock, so network and writes overlap). An update compares
the fetched bars with the stored ones over the range they share: new bars are added, changed
bars (server corrections) replaced and logged, bars the server no longer has in that range
removed and logged.
"""
from __future__ import annotations

import dataclasses
import itertools
import json
import queue
import sqlite3
import threading
from typing import Any, Optional

from .codec import to_rows
from .schema import XDXR_VALUES, bars_table
from ..frames import Bars

_COLUMNS = "symbol, datetime, open, high, low, close, volume, amount, up_count, down_count"


@dataclasses.dataclass
class Update:
    symbol: str
    period: str
    bars: Optional[Bars] = None        # None: no bars to write (a failure, or only tables)
    checked: int = 0                   # the market's latest date the server was asked at
    xdxr: Optional[list[dict[str, Any]]] = None    # None: unchanged
    finance: Optional[dict[str, Any]] = None       # None: unchanged
    failure: Optional[str] = None


@dataclasses.dataclass
class Totals:
    securities: int = 0
    added: int = 0
    replaced: int = 0
    removed: int = 0
    failures: dict[str, str] = dataclasses.field(default_factory=dict)


def _same(a: tuple[Any, ...], b: tuple[Any, ...]) -> bool:
    # (datetime, open, high, low, close, volume, amount, up_count, down_count)
    return a[:7] == b[:7] and (a[7] or 0) == (b[7] or 0) and (a[8] or 0) == (b[8] or 0)


class Writer:
    def __init__(self, con: sqlite3.Connection, sync_id: int,
                 on_done: Any = None, depth: int = 64) -> None:
        self._con = con
        self._sync_id = sync_id
        self._queue: queue.Queue[Optional[Update]] = queue.Queue(depth)
        self._calendar = {r[0] for r in con.execute("SELECT date FROM calendar")}
        self._new_days: list[int] = []
        self._on_done = on_done
        self.totals = Totals()
        self.error: Optional[BaseException] = None
        self._thread = threading.Thread(target=self._run, name="pelmora-store-writer",
                                        daemon=True)
        self._thread.start()

    def put(self, update: Update) -> None:
        if self.error is not None:
            raise self.error
        self._queue.put(update)

    def close(self) -> None:
        """Waits until every update is written; raises what stopped the writer."""
        self._queue.put(None)
        self._thread.join()
        if self.error is not None:
            raise self.error

    def _run(self) -> None:
        while True:
            update = self._queue.get()
            if update is None:
                return
            if self.error is not None:
                continue
            try:
                self.apply(update)
            except BaseException as exc:  # stops the sync; the update rolled back whole
                self.error = exc
            if self._on_done is not None:
                self._on_done(update)

    def apply(self, u: Update) -> None:
        con = self._con
        con.execute("BEGIN IMMEDIATE")
        try:
            if u.failure is not None:
                self._event(u.symbol, u.period, "failed", u.failure)
                self.totals.failures[f"{u.symbol} {u.period}"] = u.failure
            else:
                if u.bars is not None:
                    self._bars(u)
                elif u.xdxr is None:  # asked, and no new bar: confirmed up to date
                    con.execute("UPDATE coverage SET checked=?, sync_id=? WHERE period=? AND "
                                "symbol=?", (u.checked, self._sync_id, u.period, u.symbol))
                if u.xdxr is not None:
                    self._xdxr(u.symbol, u.xdxr)
                if u.finance is not None:
                    self._finance(u.symbol, u.finance)
            con.execute("COMMIT")
        except BaseException:
            con.execute("ROLLBACK")
            raise
        if u.failure is None and u.bars is not None:
            self.totals.securities += 1
            if u.period == "day":
                self._calendar.update(self._new_days)

    def _event(self, symbol: str, period: str | None, kind: str, detail: str) -> None:
        self._con.execute("INSERT INTO sync_events VALUES (?, ?, ?, ?, ?)",
                          (self._sync_id, symbol, period, kind, detail))

    def _bars(self, u: Update) -> None:
        assert u.bars is not None
        con, table = self._con, bars_table(u.period)
        keys, prices, flows, counts = to_rows(u.bars, u.period)
        n = len(keys)
        cols = [itertools.repeat(u.symbol, n), keys.tolist(), *prices.tolist(), *flows.tolist()]
        cols += counts.tolist() if counts is not None else [itertools.repeat(None, n),
                                                             itertools.repeat(None, n)]
        rows = list(zip(*cols))
        cover = con.execute("SELECT first, last, bars FROM coverage WHERE period=? AND symbol=?",
                            (u.period, u.symbol)).fetchone()
        stored = []
        if n and cover is not None and cover[1] is not None and cover[1] >= keys[0]:
            stored = con.execute(f"SELECT {_COLUMNS} FROM {table} WHERE symbol=? AND "
                                 f"datetime>=? ORDER BY datetime",
                                 (u.symbol, int(keys[0]))).fetchall()
        insert = f"INSERT OR REPLACE INTO {table} ({_COLUMNS}) VALUES (?,?,?,?,?,?,?,?,?,?)"
        added = replaced = removed = 0
        if not stored:
            con.executemany(insert, rows)
            added = n
        else:
            old = {r[1]: r for r in stored}
            new_keys = set(keys.tolist())
            fresh, changed = [], []
            for row in rows:
                was = old.get(row[1])
                if was is None:
                    fresh.append(row)
                elif not _same(was[1:], row[1:]):
                    changed.append(row)
                    self._event(u.symbol, u.period, "corrected",
                                f"{row[1]}: {_text(was)} -> {_text(row)}")
            gone = [k for k in old if k not in new_keys and k <= keys[-1]]
            for k in gone:
                self._event(u.symbol, u.period, "removed", f"{k}: {_text(old[k])}")
            con.executemany(insert, fresh + changed)
            con.executemany(f"DELETE FROM {table} WHERE symbol=? AND datetime=?",
                            [(u.symbol, k) for k in gone])
            added, replaced, removed = len(fresh), len(changed), len(gone)
        self._new_days = [k for k in keys.tolist() if k not in self._calendar] \
            if u.period == "day" else []
        con.executemany("INSERT OR IGNORE INTO calendar VALUES (?)",
                        [(k,) for k in self._new_days])
        have = (cover[2] if cover else 0) + added - removed
        first = int(keys[0]) if n else None
        last = int(keys[-1]) if n else None
        if cover is not None:
            first = cover[0] if first is None or (cover[0] is not None and cover[0] < first) \
                else first
            last = cover[1] if last is None or (cover[1] is not None and cover[1] > last) else last
        con.execute("INSERT OR REPLACE INTO coverage VALUES (?, ?, ?, ?, ?, ?, ?)",
                    (u.period, u.symbol, first, last, have, u.checked, self._sync_id))
        self.totals.added += added
        self.totals.replaced += replaced
        self.totals.removed += removed

    def _xdxr(self, symbol: str, records: list[dict[str, Any]]) -> None:
        con = self._con
        con.execute("DELETE FROM xdxr WHERE symbol=?", (symbol,))
        con.executemany(
            "INSERT INTO xdxr VALUES (" + ",".join("?" * (5 + len(XDXR_VALUES))) + ")",
            [(symbol, i, r["year"] * 10000 + r["month"] * 100 + r["day"], r["category"],
              str(r["name"]), *(r.get(k) for k in XDXR_VALUES))
             for i, r in enumerate(records)])

    def _finance(self, symbol: str, record: dict[str, Any]) -> None:
        if not record:
            self._con.execute("DELETE FROM finance WHERE symbol=?", (symbol,))
            return
        self._con.execute("INSERT OR REPLACE INTO finance VALUES (?, ?, ?)",
                          (symbol, int(record.get("updated_date") or 0),
                           json.dumps(record, ensure_ascii=False)))


def _text(row: tuple[Any, ...]) -> str:
    o, h, lo, c = (x / 1000 for x in row[2:6])
    return f"o={o:g} h={h:g} l={lo:g} c={c:g} v={row[6]:g} a={row[7]:g}"


__all__ = ["Writer", "Update", "Totals"]
