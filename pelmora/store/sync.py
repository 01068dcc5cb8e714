"""`sync`: fill a store with every security's history, then keep it up to date.

A first sync walks each security's bars back as deep as the servers go; later ones ask each
security for the bars since its last stored one plus a few stored ones, whose comparison with
the store catches server corrections. Securities are fetched in chunks (`walk.Chunk`), a batch
of requests a round, a few batches on the engine at once: the sync starts the next batch
before it takes the oldest one's result and writes what is done, a transaction per security,
so that the engine's threads fetch while this thread writes. A sync killed at any point leaves
whole securities, and the next one carries on from them.
"""
from __future__ import annotations

import collections
import dataclasses
import datetime as _dt
import random
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Iterable, Optional, Sequence

import numpy as np

from .. import units
from ..fetch import BarQuery, Fetch, Pending, BarResult, raise_first
from ..limits import QUOTE_PAGE
from ..symbols import (MARKET_NAMES, MARKETS, Symbol, is_index, many, parse_symbol,
                       period_name)
from . import reader, schema, writer as store_writer
from .codec import key_of_date, time_keys
from .lock import SyncLock
from .repair import repair
from .sources import Fetched, Listed, Tables
from ..hq.notices import reason
from .walk import Chunk
from .writer import Update, Writer

if TYPE_CHECKING:
    from ..hq import HQ

OVERLAP = 3                      # stored bars asked again to catch corrections
BARS_PER_DAY = {"day": 1, "5m": 48, "1m": 240}
FULL_CHUNK, UPDATE_CHUNK = 96, 400
IN_FLIGHT = 6                    # batches started on the engine at once
DEEPEST = "1990-01-01"
# A stored history that starts within this many weekdays after --since reaches it: the
# markets' longest holidays close them for a week.
HOLIDAY_WEEKDAYS = 10
# The Shanghai composite's latest daily bar, whose date is the servers' trading day.
_DAY_QUERY = BarQuery(9, MARKETS["sh"], "000001", 0, 1, True)

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


def _weekdays_after(day: int, until: int) -> int:
    a = np.datetime64(f"{day // 10000:04d}-{day // 100 % 100:02d}-{day % 100:02d}")
    b = np.datetime64(f"{until // 10000:04d}-{until // 100 % 100:02d}-{until % 100:02d}")
    one = np.timedelta64(1, "D")
    return int(np.busday_count(a + one, b + one)) if b > a else 0


def _plan(con: Any, period: str, known: Sequence[Symbol], last: dict[str, tuple[int, int]],
          quotes: dict[Symbol, tuple[float, float]], today: int, day: int
          ) -> tuple[set[Symbol], set[Symbol]]:
    """(securities whose ex-rights records may have changed, securities that need no bars
    request) among those already stored.

    A quote's previous close is the stored close before today unless today is an ex-date (it
    is then the reference price), so a difference calls for the records. A security whose
    quote shows no trade today and that the last sync brought up to the previous trading day
    has no new bar."""
    previous = reader.day_before(con, day) or day
    changed, idle = set(), set()
    closes = reader.closes_before(con, period, today)
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
    names = {n for p in periods for n in reader.covered(con, p)}
    if wanted is not None:
        return [s for s in wanted if s.canonical in names]
    ids = {MARKET_NAMES[m]: m for m in market_ids}
    return [Symbol(ids[n[:2]], n[2:]) for n in sorted(names) if n[:2] in ids]


def _market_day(pending: Pending[BarResult]) -> int:
    """The servers' trading day, from the Shanghai index's latest bar: asked beside the lists,
    so not through a list (one that failed must not stop the whole sync)."""
    result = pending.result()
    raise_first(result.errors())
    times = result.bars().times
    if not len(times):
        raise RuntimeError("the servers gave no bars for the Shanghai index: no data to sync")
    return int(time_keys(times[-1:], "day")[0])


def sync(folder: str | Path, servers: Iterable[Any] | None = None, *,
         periods: str | Sequence[str] = ("day",), markets: Sequence[str] = ("sh", "sz"),
         symbols: str | Sequence[str] | None = None, since: str | None = None,
         connections: int = 8, progress: Progress | None = None,
         verify: int = 0) -> SyncSummary:
    """Brings the store in `folder` up to date from the servers (see the module docstring).

    `periods`: day, 5m, 1m, or pandas' names for them ("D", "5min", "min"); `symbols`: only
    these securities; a single str is one period or one security. Raises `StoreBusy` when
    another sync holds the store. Failures of single securities do not raise: they are in
    the summary and the sync log. `verify`: before anything is written, this many of the
    sync's securities, drawn at random, are checked on two servers (`HQ.verify`, in the first
    period); a server the others outvote is set aside and the sync goes on with the rest. The
    result is in the sync log as events of kind "verify"."""
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
            sync_id = store_writer.begin_sync(con, _now(), periods)
            try:
                # Failures are in the summary: warnings of them would only repeat it.
                with HQ(servers, connections, quiet=True) as hq:
                    if verify > 0:
                        _verify(con, hq, sync_id, verify, wanted, market_ids, periods[0])
                    summary = _sync(con, folder, hq.fetch, sync_id, periods, market_ids,
                                    wanted, since, progress)
                    summary.servers_set_aside = [(s, why) for s, state, why in hq.servers
                                                 if state == "set aside"]
            except BaseException as exc:
                status = (f"failed: {type(exc).__name__}: {exc}" if isinstance(exc, Exception)
                          else "interrupted")
                store_writer.end_sync(con, sync_id, _now(), status)
                raise
            summary.seconds = time.monotonic() - began
            store_writer.end_sync(con, sync_id, _now(), "ok" if summary.ok else "failures",
                                  summary.securities, summary.added, summary.replaced,
                                  summary.failed, summary.requests)
            if summary.added > 100_000:
                store_writer.analyze(con)
            return summary
        finally:
            con.close()


def _verify(con: Any, hq: HQ, sync_id: int, count: int, wanted: list[Symbol] | None,
            market_ids: list[int], period: str) -> None:
    """Checks `count` of the sync's securities on two servers and logs the result: a summary
    event (symbol "*"), then one for each security a server disagreed on. A check that could
    not run is logged as such; it does not stop the sync."""
    events: list[tuple[str, Optional[str], str]] = []
    try:
        universe = wanted or [Symbol(m, code) for m in market_ids
                              for code in hq.fetch.security_codes(m)]
        report = hq.verify(random.sample(universe, min(count, len(universe))), period=period)
    except Exception as exc:
        events.append(("*", period, f"not run: {reason(exc)}"))
    else:
        aside = f"; set aside: {', '.join(report.set_aside)}" if report.set_aside else ""
        events.append(("*", period, report.headline() + aside))
        events += [(symbol, period, f"{server}: {text}")
                   for server, symbol, text in report.summaries()]
        events += [(name, period, f"not compared: {why}") for name, why in report.failed.items()]
    with schema.transaction(con):
        store_writer.log_events(con, sync_id, "verify", events)


def _now() -> str:
    return _dt.datetime.now(_dt.timezone.utc).isoformat(timespec="seconds")


def _sync(con: Any, folder: Path, fetch: Fetch, sync_id: int, periods: Sequence[str],
          market_ids: list[int], wanted: list[Symbol] | None, since: str | None,
          progress: Progress | None) -> SyncSummary:
    tables = Tables(fetch)
    refetch = repair(con, list(periods), sync_id)
    # The market's day, the security lists and the quotes of the stored securities (which
    # decide what a later sync asks for) are independent: all started before any is taken.
    stored = _stored(con, periods, market_ids, wanted)
    listed = reader.listed_counts(con)
    day_asked = fetch.start_bars([_DAY_QUERY])
    bars_before = fetch.bar_requests
    quotes_asked = tables.start_quotes(stored) if stored else None
    lists, lists_failed = _lists(tables, sorted(set(market_ids) | {s.market for s in
                                                                   wanted or ()}), listed)
    day = _market_day(day_asked)
    requests = 1 + sum(len(rows) // 1000 + 2 for rows in lists.values())
    if stored:
        requests += -(-len(stored) // QUOTE_PAGE)
    store_writer.store_lists(con, lists, lists_failed, day, sync_id)
    # Lot sizes and decimals as the lists just stored give them (a failed list: the stored).
    sizes = reader.listed_sizes(con)
    quotes = quotes_asked({k: v[1] for k, v in sizes.items() if v[1]}) \
        if quotes_asked is not None else {}
    fetch.take_warnings()  # quiet: what they say is in the summary
    unlisted: dict[Symbol, str] = {}
    if wanted is not None:
        universe = wanted
        codes = {m: {r[0] for r in rows} for m, rows in lists.items()}
        unlisted = {s: f"KeyError: {s.canonical} is not in the security list of market "
                       f"{MARKET_NAMES[s.market]}" for s in wanted
                    if s.market in codes and s.code not in codes[s.market]}
    else:  # a market whose list failed: the securities it listed last
        universe = [Symbol(m, r[0]) for m in market_ids if m in lists for r in lists[m]]
        universe += [Symbol(m, code) for m in market_ids if m in lists_failed
                     for code in reader.listed_codes(con, m)]
    volunits = {k: v[0] for k, v in sizes.items()}
    units.warn_unknown_lots(s.canonical for s in universe
                            if s not in unlisted and not volunits.get(s.canonical))
    events = reader.event_counts(con)
    finances = reader.finance_symbols(con)
    # Tables that failed last time, or were found damaged, are asked for again.
    refetch |= reader.failed_tables(con)
    done = dict.fromkeys(periods, 0)  # securities written, by period
    written = [0]                     # bars

    def on_done(update: Update) -> None:
        done[update.period] += 1
        if update.bars is not None:
            written[0] += len(update.bars)
        if progress is not None:
            progress(done[update.period], len(universe), written[0], update.period)

    writer = Writer(schema.connect(folder), sync_id, on_done)
    try:
        jobs: list[_Job] = []
        for i, period in enumerate(periods):
            last = reader.coverage_last(con, period)
            newest = max((v[0] for v in last.values()), default=0)
            newest_day = newest // 10000 if period != "day" else newest
            count = ((_weekdays_after(newest_day, day) + 1) * BARS_PER_DAY[period]
                     + OVERLAP) if newest else 1
            if since is not None:
                _deepen(con, period, last, key_of_date(since, "day"))
            for s, why in unlisted.items():
                writer.put(Update(s.canonical, period, checked=day, failure=why))
            asked = [s for s in universe if s not in unlisted]
            full = [s for s in asked if s.canonical not in last]
            known = [s for s in asked if s.canonical in last]
            changed, idle = _plan(con, period, known, last, quotes,
                                  day * 10000 if period != "day" else day, day)
            again = {s for s in known if s.canonical in refetch}
            need = set(full) | changed | again if i == 0 else set()
            for s in idle:
                writer.put(Update(s.canonical, period, checked=day))
            known = [s for s in known if s not in idle]
            deepest = key_of_date(since or DEEPEST, period)
            # Indices apart: their bars carry two more columns.
            groups = [(g, size) for part, size in ((full, FULL_CHUNK), (known, UPDATE_CHUNK))
                      for g in ([s for s in part if is_index(s)],
                                [s for s in part if not is_index(s)])]
            for syms, size in groups:
                for a in range(0, len(syms), size):
                    chunk = syms[a:a + size]
                    jobs.append(_Job(Chunk(period, chunk, last, count, deepest, volunits),
                                     [s for s in chunk if s in need], last))
        for job in jobs:
            requests += 2 * len(job.tables_for)
        _run(jobs, fetch, tables, writer, events, finances, day)
    finally:
        writer.close()
    requests += fetch.bar_requests - bars_before
    t = writer.totals
    return SyncSummary(sync_id, t.securities, t.added, t.replaced, t.removed, t.failures,
                       requests, 0.0, [],
                       {MARKET_NAMES[m]: why for m, why in lists_failed.items()})


@dataclasses.dataclass
class _Job:
    chunk: Chunk
    tables_for: list[Symbol]              # securities whose tables are fetched beside
    last: dict[str, tuple[int, int]]      # stored (last key, checked) by symbol
    tables: Optional[Callable[[], dict[Symbol, Fetched]]] = None


def _run(jobs: Sequence[_Job], fetch: Fetch, tables: Tables, writer: Writer,
         events: dict[str, int], finances: set[str], day: int) -> None:
    """Fetches every job's bars (and tables) and writes each job's updates once it is done.

    Up to `IN_FLIGHT` batches are out on the engine at once: the next batch is started before
    the oldest one's result is taken and written, so that the engine fetches while this
    thread decodes and writes. A job's tables are started with its first batch and taken when
    its bars are all in."""
    waiting = collections.deque(jobs)
    flying: collections.deque[tuple[_Job, Pending[BarResult]]] = collections.deque()

    def start(job: _Job) -> None:
        queries = job.chunk.queries()
        if queries:
            flying.append((job, fetch.start_bars(queries)))
        else:
            _write(job, writer, day)

    while waiting or flying:
        while waiting and len(flying) < IN_FLIGHT:
            job = waiting.popleft()
            if job.tables_for:
                job.tables = tables.start(job.tables_for, events, finances)
            start(job)
        if flying:
            job, pending = flying.popleft()
            job.chunk.take(pending.result())
            start(job)


def _write(job: _Job, writer: Writer, day: int) -> None:
    """Hands the writer each security's update of a job whose bars are all in."""
    chunk = job.chunk
    got, fails = chunk.bars(), chunk.failures()
    fetched = job.tables() if job.tables is not None else {}
    for s in chunk.syms:
        name = s.canonical
        update = Update(name, chunk.period, checked=day)
        bars = got.get(name)
        if name in fails:
            update.failure = fails[name]
        elif bars is None or len(bars) == 0:
            update.failure = ("the servers gave no bars where the store has some"
                              if name in job.last else "the servers gave no bars")
        else:
            update.bars = bars
        if s in fetched:
            f = fetched[s]
            update.xdxr, update.finance, update.parts = f.xdxr, f.finance, f.parts
            if update.failure is not None:  # the failure of the bars says it all
                update.parts = {k: v for k, v in f.parts.items() if v is None}
        writer.put(update)


def _deepen(con: Any, period: str, last: dict[str, tuple[int, int]], since: int) -> None:
    """Takes out of `last` the securities whose stored history starts more than
    `HOLIDAY_WEEKDAYS` weekdays after `since` (YYYYMMDD): they are fetched from `since`, as a
    new security is, and the bars are merged with the stored ones."""
    for sym, first in reader.coverage_first(con, period):
        day = first if period == "day" else first // 10000
        if sym in last and _weekdays_after(since, day) > HOLIDAY_WEEKDAYS:
            del last[sym]


def _lists(tables: Tables, markets: Sequence[int], listed: dict[int, int]
           ) -> tuple[dict[int, list[Listed]], dict[int, str]]:
    """The security lists got, by market, and why the others failed: an empty list (the
    engine has asked again before giving it) is a failure, never a market without
    securities. Every list is started before any is taken."""
    asked, failed = {}, {}
    for market in markets:
        try:
            asked[market] = tables.start_list(market, listed.get(market))
        except Exception as exc:
            failed[market] = reason(exc)
    lists = {}
    for market, take in asked.items():
        try:
            rows = take()
        except Exception as exc:
            failed[market] = reason(exc)
            continue
        if rows:
            lists[market] = rows
        else:
            failed[market] = "the servers gave an empty security list"
    return lists, dict(sorted(failed.items()))
