"""`sync`: fill a store with every security's history, then keep it up to date.

A first sync walks each security's bars back as deep as the servers go; later ones ask each
security for the bars since its last stored one plus a few stored ones, whose comparison with
the store catches server corrections. Securities are fetched in chunks by a few threads at once
over one `HQ` (its connections stay busy while one chunk waits for its slowest security) and
written by one writer thread, a transaction per security: a sync killed at any point leaves
whole securities, and the next one carries on from them.
"""
from __future__ import annotations

import concurrent.futures
import contextlib
import dataclasses
import datetime as _dt
import threading
import time
from pathlib import Path
from typing import Any, Callable, Iterable, Iterator, Optional, Sequence

import numpy as np

from ..frames import Bars, INDEX_COLUMNS, PRICE_COLUMNS
from ..limits import QUOTE_PAGE
from ..symbols import (MARKET_NAMES, MARKETS, Symbol, is_index, many, parse_symbol,
                       period_name)
from . import blocks, schema
from .codec import key_of_date, time_keys
from .lock import SyncLock
from .repair import repair
from .sources import Fetched, Tables
from .writer import Update, Writer

OVERLAP = 3                      # stored bars asked again to catch corrections
BARS_PER_DAY = {"day": 1, "5m": 48, "1m": 240}
FULL_CHUNK, UPDATE_CHUNK = 48, 400
FETCH_THREADS = 3
DEEPEST = "1990-01-01"
# A stored history that starts within this many weekdays after --since reaches it: the
# markets' longest holidays close them for a week.
HOLIDAY_WEEKDAYS = 10

# progress(securities done in a period, securities in all, bars written, the period): each
# period's securities are counted apart, so a sync of two periods shows two bars of N each
Progress = Callable[[int, int, int, str], object]


@dataclasses.dataclass
class SyncSummary:
    """What a sync did: `securities` counts each security once whatever its periods, and
    `failures` names each security and period that failed ("sh600036 5m")."""
    sync_id: int
    securities: int
    added: int
    replaced: int
    removed: int
    failures: dict[str, str]
    requests: int
    seconds: float
    servers_set_aside: list[tuple[str, str]]
    # The markets whose security list could not be got ("sh"), and why.
    markets_failed: dict[str, str] = dataclasses.field(default_factory=dict)

    @property
    def ok(self) -> bool:
        return not self.failures and not self.markets_failed

    @property
    def failed(self) -> int:
        """Securities that failed in any period."""
        return len({name.split()[0] for name in self.failures})


class _Requests:
    """Counts the requests asked."""

    def __init__(self) -> None:
        self.count = 0
        self._lock = threading.Lock()

    def add(self, n: int) -> None:
        with self._lock:
            self.count += n


def _weekdays_after(day: int, until: int) -> int:
    a = np.datetime64(f"{day // 10000:04d}-{day // 100 % 100:02d}-{day % 100:02d}")
    b = np.datetime64(f"{until // 10000:04d}-{until // 100 % 100:02d}-{until % 100:02d}")
    one = np.timedelta64(1, "D")
    return int(np.busday_count(a + one, b + one)) if b > a else 0


def _split(frame: Any, names: Sequence[str]) -> dict[str, Bars]:
    """The bars of each security of a `bars_many` frame."""
    if frame is None or len(frame) == 0:
        return {}
    columns = [c for c in PRICE_COLUMNS + INDEX_COLUMNS if c in frame.columns]
    values = frame[list(columns)].to_numpy(dtype=np.float64).T
    times = frame.index.values.astype("M8[s]")
    codes = frame["symbol"].cat.codes.to_numpy()
    cats = list(frame["symbol"].cat.categories)
    bounds = np.searchsorted(codes, np.arange(len(cats) + 1))
    out = {}
    for i, name in enumerate(cats):
        a, b = bounds[i], bounds[i + 1]
        out[name] = Bars(times[a:b], values[:, a:b])
    return out


class _Run:
    def __init__(self, folder: Path, hq: Any, tables: Tables, writer: Writer,
                 requests: _Requests, market_day: int, since: Optional[str],
                 events: dict[str, int], finances: set[str]) -> None:
        self.folder, self.hq, self.tables, self.writer = folder, hq, tables, writer
        self.requests, self.market_day, self.since = requests, market_day, since
        # What the store holds: the number of events, and the finance records, by security.
        self.events, self.finances = events, finances

    def bars(self, syms: Sequence[Symbol], period: str, **kw: Any) -> tuple[dict[str, Bars],
                                                                          dict[str, str]]:
        try:
            frame = self.hq.bars_many(syms, period, **kw)
        except Exception as exc:
            reason = f"{type(exc).__name__}: {exc}"
            return {}, {s.canonical: reason for s in syms}
        return _split(frame, [s.canonical for s in syms]), dict(frame.attrs.get("errors", {}))

    def job(self, period: str, syms: list[Symbol], last: dict[str, tuple[int, int]],
            count: int, tables_for: list[Symbol]) -> None:
        """Fetches one chunk (bars, then ex-rights and finance records where asked) and hands
        each security's update to the writer."""
        collect: Optional[Callable[[], dict[Symbol, Fetched]]] = None
        if tables_for:
            collect = self.tables.request(tables_for, self.events, self.finances)
            self.requests.add(2 * len(tables_for))
        full = [s for s in syms if s.canonical not in last]
        known = [s for s in syms if s.canonical in last]
        got: dict[str, Bars] = {}
        fails: dict[str, str] = {}
        if full:
            g, f = self.bars(full, period, start=self.since or DEEPEST)
            got.update(g)
            fails.update(f)
        if known:
            g, f = self.bars(known, period, count=count)
            fails.update(f)
            walk = []
            for s in known:
                bars = g.get(s.canonical)
                if bars is None:
                    continue
                stored_last = last[s.canonical][0]
                if len(bars) and time_keys(bars.times[:1], period)[0] > stored_last:
                    walk.append(s)      # more new bars than asked for: walk back to the store
                else:
                    got[s.canonical] = bars
            if walk:
                by_day: dict[int, list[Symbol]] = {}
                for s in walk:
                    key = last[s.canonical][0]
                    by_day.setdefault(key if period == "day" else key // 10000, []).append(s)
                for day, group in by_day.items():
                    g, f = self.bars(group, period,
                                     start=f"{day // 10000:04d}-{day // 100 % 100:02d}-"
                                           f"{day % 100:02d}")
                    got.update(g)
                    fails.update(f)
        tables = collect() if collect is not None else {}
        for s in syms:
            name = s.canonical
            update = Update(name, period, checked=self.market_day)
            bars = got.get(name)
            if name in fails:
                update.failure = fails[name]
            elif bars is None or len(bars) == 0:
                update.failure = ("the servers gave no bars where the store has some"
                                  if name in last else "the servers gave no bars")
            else:
                update.bars = bars
            if s in tables:
                fetched = tables[s]
                update.xdxr, update.finance, update.parts = (fetched.xdxr, fetched.finance,
                                                             fetched.parts)
                if update.failure is not None:  # the failure of the bars says it all
                    update.parts = {k: v for k, v in fetched.parts.items() if v is None}
            self.writer.put(update)


def _closes_before(con: Any, period: str, today: int) -> dict[str, int]:
    """The close of every security's last stored bar before `today`, by symbol: one query
    over the block of each security's last bar (the block before it in the rare case that
    the last block starts on `today`)."""
    table = schema.bars_table(period)
    block = blocks.block_sql("c.last", period)
    def close_before(keys: bytes, closes: bytes) -> int | None:
        at = int(np.searchsorted(np.frombuffer(keys, "<i8"), today)) - 1
        return int(np.frombuffer(closes, "<i4")[at]) if at >= 0 else None

    out = {}
    for symbol, keys, closes in con.execute(
            f"SELECT c.symbol, b.datetime, b.close FROM coverage c JOIN {table} b "
            f"ON b.symbol = c.symbol AND b.block = {block} WHERE c.period = ?", (period,)):
        close = close_before(keys, closes)
        if close is None:
            row = con.execute(f"SELECT datetime, close FROM {table} WHERE symbol=? AND first<? "
                              f"ORDER BY block DESC LIMIT 1", (symbol, today)).fetchone()
            close = close_before(*row) if row is not None else None
        if close is not None:
            out[symbol] = close
    return out


def _plan(con: Any, period: str, known: Sequence[Symbol], last: dict[str, tuple[int, int]],
          quotes: dict[Symbol, tuple[float, float]], today: int, day: int
          ) -> tuple[set[Symbol], set[Symbol]]:
    """(securities whose ex-rights records may have changed, securities that need no bars
    request) among those already stored.

    A quote's previous close is the stored close before today unless today is an ex-date (it
    is then the reference price), so a difference calls for the records. A security whose
    quote shows no trade today and that the last sync brought up to the previous trading day
    has no new bar."""
    row = con.execute("SELECT max(date) FROM calendar WHERE date < ?", (day,)).fetchone()
    previous = row[0] if row and row[0] else day
    changed, idle = set(), set()
    closes = _closes_before(con, period, today)
    for s in known:
        quote = quotes.get(s)
        before = closes.get(s.canonical)
        if quote is None or before is None or abs(quote[0] * 1000 - before) >= 10:
            changed.add(s)
        elif quote[1] == 0 and last[s.canonical][1] >= previous:
            idle.add(s)
    return changed, idle


def _stored(con: Any, periods: Sequence[str], market_ids: list[int],
            wanted: list[Symbol] | None) -> list[Symbol]:
    """The securities the store has bars of in `periods`, among those the sync is for."""
    names = {r[0] for p in periods for r in con.execute(
        "SELECT symbol FROM coverage WHERE period = ? AND last IS NOT NULL", (p,))}
    if wanted is not None:
        return [s for s in wanted if s.canonical in names]
    ids = {MARKET_NAMES[m]: m for m in market_ids}
    return [Symbol(ids[n[:2]], n[2:]) for n in sorted(names) if n[:2] in ids]


def _market_day(hq: Any) -> int:
    """The servers' trading day, from the Shanghai index's latest bar: asked beside the lists,
    so not through a list (one that failed must not stop the whole sync)."""
    try:
        day = hq.trading_day()
    except ValueError:
        raise RuntimeError("the servers gave no bars for the Shanghai index: no data to "
                           "sync") from None
    return int(time_keys(np.array([day], "M8[s]"), "day")[0])


def _store_lists(con: Any, lists: dict[int, list[dict[str, Any]]], failed: dict[int, str],
                 day: int, sync_id: int) -> None:
    """Stores the lists got (a security missing from its market's list is no longer in it)
    and records the markets whose list failed, whose stored lists are left as they are."""
    with schema.transaction(con):
        for market, why in failed.items():
            con.execute("INSERT OR REPLACE INTO failures VALUES (?, 'securities', ?, ?, NULL)",
                        (MARKET_NAMES[market], why, sync_id))
            con.execute("INSERT INTO sync_events VALUES (?, ?, NULL, 'failed', ?, NULL)",
                        (sync_id, MARKET_NAMES[market], f"security list: {why}"))
        for market, rows in lists.items():
            con.execute("DELETE FROM failures WHERE symbol=? AND part='securities'",
                        (MARKET_NAMES[market],))
            prefix = MARKET_NAMES[market]
            con.execute("UPDATE securities SET in_list=0 WHERE market=?", (market,))
            con.executemany(
                "INSERT INTO securities VALUES (?, ?, ?, ?, ?, ?, ?, 1, ?, ?, NULL) "
                "ON CONFLICT(symbol) DO UPDATE SET name=excluded.name, "
                "volunit=excluded.volunit, decimal_point=excluded.decimal_point, "
                "pre_close=excluded.pre_close, in_list=1, last_seen=excluded.last_seen",
                [(prefix + r["code"], market, r["code"], r["name"], r["volunit"],
                  r["decimal_point"], r["pre_close"], day, day) for r in rows])


def sync(folder: str | Path, servers: Iterable[Any] | None = None, *,
         periods: str | Sequence[str] = ("day",), markets: Sequence[str] = ("sh", "sz"),
         symbols: str | Sequence[str] | None = None, since: str | None = None,
         connections: int = 8, progress: Progress | None = None) -> SyncSummary:
    """Brings the store in `folder` up to date from the servers (see the module docstring).

    `periods`: day, 5m, 1m, or pandas' names for them ("D", "5min", "min"); `symbols`: only
    these securities; a single str is one period or one security. Raises `StoreBusy` when
    another sync holds the store. Failures of single securities do not raise: they are in
    the summary and the sync log."""
    from ..hq import HQ
    # The canonical names: the store and its log know only those.
    periods = [period_name(p) for p in ([periods] if isinstance(periods, str) else periods)]
    for p in periods:
        schema.bars_table(p)
    market_ids = []
    for m in markets:
        if m not in MARKETS:
            raise ValueError(f"invalid market {m!r}: expected sh or sz")
        market_ids.append(MARKETS[m])
    wanted = list(dict.fromkeys(parse_symbol(s) for s in many(symbols))) if symbols else None
    folder = Path(folder)
    began = time.monotonic()
    with SyncLock(folder):
        con = schema.connect(folder)
        try:
            con.execute("UPDATE sync_log SET status='interrupted' WHERE status='running'")
            sync_id = con.execute(
                "INSERT INTO sync_log (started, periods, status) VALUES (?, ?, 'running')",
                (_dt.datetime.now(_dt.timezone.utc).isoformat(timespec="seconds"),
                 ",".join(periods))).lastrowid
            assert sync_id is not None
            try:
                # Failures are in the summary: warnings of them would only repeat it.
                with HQ(servers, connections, quiet=True) as hq:
                    tables = Tables(hq)
                    try:
                        summary = _sync(con, folder, hq, tables, sync_id, periods, market_ids,
                                        wanted, since, progress)
                    finally:
                        tables.close()
                    summary.servers_set_aside = [(s, why) for s, state, why in hq.servers
                                                 if state == "set aside"]
            except BaseException as exc:
                status = (f"failed: {type(exc).__name__}: {exc}" if isinstance(exc, Exception)
                          else "interrupted")
                con.execute("UPDATE sync_log SET finished=?, status=? WHERE id=?",
                            (_dt.datetime.now(_dt.timezone.utc).isoformat(timespec="seconds"),
                             status, sync_id))
                raise
            summary.seconds = time.monotonic() - began
            con.execute("UPDATE sync_log SET finished=?, securities=?, bars_added=?, "
                        "bars_replaced=?, failed=?, requests=?, status=? WHERE id=?",
                        (_dt.datetime.now(_dt.timezone.utc).isoformat(timespec="seconds"),
                         summary.securities, summary.added, summary.replaced,
                         summary.failed, summary.requests,
                         "ok" if summary.ok else "failures", sync_id))
            if summary.added > 100_000:
                con.execute("ANALYZE")
            return summary
        finally:
            con.close()


def _sync(con: Any, folder: Path, hq: Any, tables: Tables, sync_id: int,
          periods: Sequence[str], market_ids: list[int], wanted: list[Symbol] | None,
          since: str | None, progress: Progress | None) -> SyncSummary:
    requests = _Requests()
    refetch = repair(con, list(periods), sync_id)
    # The market's day, the security lists and the quotes of the stored securities (which
    # decide what a later sync asks for) are independent: ask for them at once.
    stored = _stored(con, periods, market_ids, wanted)
    listed = dict(con.execute("SELECT market, count(*) FROM securities WHERE in_list = 1 "
                              "GROUP BY market").fetchall())
    with _threads(4, hq.close) as pool:
        asked = {m: pool.submit(tables.security_list, m, listed.get(m)) for m in sorted(
            set(market_ids) | {s.market for s in wanted or ()})}
        early = pool.submit(tables.quotes, stored) if stored else None
        day = _market_day(hq)
        bars_before = hq.bar_requests
        lists, lists_failed = _lists(asked)
        quotes = _result(early) if early is not None else None
    if stored:
        requests.add(-(-len(stored) // QUOTE_PAGE))
    requests.add(1)
    requests.add(sum(len(rows) // 1000 + 2 for rows in lists.values()))
    _store_lists(con, lists, lists_failed, day, sync_id)
    if wanted is not None:
        universe = wanted
    else:  # a market whose list failed: the securities it listed last
        universe = [Symbol(m, r["code"]) for m in market_ids if m in lists for r in lists[m]]
        universe += [Symbol(m, code) for m in market_ids if m in lists_failed for (code,) in
                     con.execute("SELECT code FROM securities WHERE market=? AND in_list=1 "
                                 "ORDER BY code", (m,))]
    events = dict(con.execute("SELECT symbol, count(*) FROM xdxr GROUP BY symbol").fetchall())
    finances = {r[0] for r in con.execute("SELECT symbol FROM finance")}
    # Tables that failed last time, or were found damaged, are asked for again.
    refetch |= {r[0] for r in con.execute("SELECT symbol FROM failures WHERE part IN "
                                          "('xdxr', 'finance')")}
    done = dict.fromkeys(periods, 0)  # securities written, by period
    written = [0]                     # bars

    def on_done(update: Update) -> None:
        done[update.period] += 1
        if update.bars is not None:
            written[0] += len(update.bars)
        if progress is not None:
            progress(done[update.period], len(universe), written[0], update.period)

    writer = Writer(schema.connect(folder), sync_id, on_done)
    run = _Run(folder, hq, tables, writer, requests, day, since, events, finances)

    def stop() -> None:
        hq.close()
        writer.abort()
    try:
        with _threads(FETCH_THREADS, stop) as pool:
            futures = []
            for i, period in enumerate(periods):
                last = {sym: (key, checked) for sym, key, checked in con.execute(
                    "SELECT symbol, last, checked FROM coverage WHERE period = ? AND last IS "
                    "NOT NULL", (period,))}
                newest = max((v[0] for v in last.values()), default=0)
                newest_day = newest // 10000 if period != "day" else newest
                count = ((_weekdays_after(newest_day, day) + 1) * BARS_PER_DAY[period]
                         + OVERLAP) if newest else 1
                if since is not None:
                    _deepen(con, period, last, key_of_date(since, "day"))
                full = [s for s in universe if s.canonical not in last]
                known = [s for s in universe if s.canonical in last]
                if known and quotes is None:
                    quotes = tables.quotes(universe)
                    requests.add(-(-len(universe) // QUOTE_PAGE))
                changed, idle = _plan(con, period, known, last, quotes or {},
                                      day * 10000 if period != "day" else day, day)
                again = {s for s in known if s.canonical in refetch}
                need = set(full) | changed | again if i == 0 else set()
                for s in idle:
                    writer.put(Update(s.canonical, period, checked=day))
                known = [s for s in known if s not in idle]
                # Indices apart: a walk back over a batch mixing both layouts fails in HQ.
                groups = [(g, size) for part, size in ((full, FULL_CHUNK), (known, UPDATE_CHUNK))
                          for g in ([s for s in part if is_index(s)],
                                    [s for s in part if not is_index(s)])]
                for syms, size in groups:
                    for a in range(0, len(syms), size):
                        chunk = syms[a:a + size]
                        futures.append(pool.submit(run.job, period, chunk, last, count,
                                                   [s for s in chunk if s in need]))
            for f in futures:
                _result(f)
    finally:
        writer.close()
    requests.add(hq.bar_requests - bars_before)
    t = writer.totals
    return SyncSummary(sync_id, t.securities, t.added, t.replaced, t.removed, t.failures,
                       requests.count, 0.0, [],
                       {MARKET_NAMES[m]: why for m, why in lists_failed.items()})


def _deepen(con: Any, period: str, last: dict[str, tuple[int, int]], since: int) -> None:
    """Takes out of `last` the securities whose stored history starts more than
    `HOLIDAY_WEEKDAYS` weekdays after `since` (YYYYMMDD): they are fetched from `since`, as a
    new security is, and the bars are merged with the stored ones."""
    for sym, first in con.execute("SELECT symbol, first FROM coverage WHERE period = ? AND "
                                  "first IS NOT NULL", (period,)).fetchall():
        day = first if period == "day" else first // 10000
        if sym in last and _weekdays_after(since, day) > HOLIDAY_WEEKDAYS:
            del last[sym]


@contextlib.contextmanager
def _threads(n: int, stop: Callable[[], None]) -> Iterator[concurrent.futures.ThreadPoolExecutor]:
    """A pool of `n` threads, joined when the block ends. When it raises (Ctrl-C among
    others), what is queued is cancelled and `stop` is called before the join: it closes the
    HQ, whose requests under way then end at once, and stops the writer."""
    pool = concurrent.futures.ThreadPoolExecutor(n)
    try:
        yield pool
    except BaseException:
        pool.shutdown(wait=False, cancel_futures=True)
        stop()
        raise
    finally:
        pool.shutdown(wait=True)


def _result(future: concurrent.futures.Future[Any]) -> Any:
    """The future's result, waited for in slices: the main thread sees Ctrl-C between them."""
    while True:
        try:
            return future.result(timeout=0.2)
        except concurrent.futures.TimeoutError:
            continue


def _lists(asked: dict[int, concurrent.futures.Future[list[dict[str, Any]]]]
           ) -> tuple[dict[int, list[dict[str, Any]]], dict[int, str]]:
    """The security lists got, by market, and why the others failed: an empty list (`HQ` has
    asked again before giving it) is a failure, never a market without securities."""
    lists, failed = {}, {}
    for market, future in asked.items():
        try:
            rows = _result(future)
        except Exception as exc:
            failed[market] = f"{type(exc).__name__}: {exc}"
            continue
        if rows:
            lists[market] = rows
        else:
            failed[market] = "the servers gave an empty security list"
    return lists, failed
