"""`HQ`: bars of many securities from a pool of HQ servers, as pandas DataFrames, and the
other commands (quotes, security lists, ticks, minute series, ex-rights events, finance
summaries) on the same pool; their frames are built in the modules named by them.

The connections are served by native worker threads (`pelmora._engine`) that run without the
interpreter lock: a call waits without holding it, so other Python threads, and an asyncio
event loop that runs the call through ``asyncio.to_thread(hq.bars, ...)``, keep running.
"""
from __future__ import annotations

import copy
import threading
import warnings
from typing import TYPE_CHECKING, Any, Callable, Iterable, Literal, Mapping, Sequence, Union

from . import adjusted, corporate, frames, intraday, quotes, securities
from .dates import DateLike, bound
from .exceptions import DataWarning
from .fetch import BarQuery, Fetch, TableQuery, raise_first
from .limits import BAR_PAGE, MAX_BARS, MAX_OFFSET as _MAX_START
from .servers import literal_host, parse_address
from .symbols import (MARKET_NAMES, MARKETS, Symbol, SymbolLike, is_index, many, parse_period,
                      parse_symbol, period_name)

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pandas as pd

ServerLike = Union[str, tuple[str, int]]
Progress = Callable[[int, int], object]
# Securities known to have records, or a mapping of them to how many they had.
HadRecords = Union[Iterable[SymbolLike], Mapping[SymbolLike, int]]

DEFAULT_COUNT = BAR_PAGE
# How long the trading day that dates quotes is reused before it is asked again.
QUOTE_DAY_SECONDS = 60.0


# Typed views of the address helpers.
_parse_address: Callable[[str], tuple[str, int]] = parse_address
_literal_host: Callable[[str], str] = literal_host


def _server_text(server: ServerLike) -> str:
    host, port = _parse_address(server) if isinstance(server, str) else server
    if not isinstance(port, int) or not 0 <= port <= 0xFFFF:
        raise ValueError(f"invalid server {server!r}: port must be 0-65535")
    return f"{_literal_host(host.strip('[]'))}:{port}"


def count_pages(count: int) -> list[tuple[int, int]]:
    """(start, count) of the requests for the latest `count` bars, oldest page first."""
    pages = []
    start = 0
    while start < count and start <= _MAX_START:
        pages.append((start, min(BAR_PAGE, count - start)))
        start += BAR_PAGE
    return pages[::-1]


def _market(market: str | int) -> int:
    if isinstance(market, str) and market.lower() in MARKETS:
        return MARKETS[market.lower()]
    if isinstance(market, int) and market in MARKET_NAMES:
        return market
    raise ValueError(f"invalid market {market!r}: expected 'sh' or 'sz' (or 1 or 0)")


def _message(exc: BaseException) -> str:
    # str() of a KeyError is the repr of its key: quotes around the message.
    return str(exc.args[0]) if isinstance(exc, KeyError) and exc.args else str(exc)


def _reason(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {_message(exc)}"


def in_securities(progress: Progress | None, securities: int) -> Progress | None:
    """`progress` for a batch whose requests are grouped by security in the order asked:
    the engine's (requests done, requests) as (securities done, securities), each value
    given once."""
    if progress is None:
        return None
    last = [-1]

    def report(done: int, total: int) -> None:
        value = done * securities // total if total else securities
        if value != last[0]:
            last[0] = value
            progress(value, securities)
    return report


class HQ:
    """Bars from one or several HQ servers over a pool of connections.

    >>> with HQ(["192.0.2.10:7709", "192.0.2.11:7709"], connections=8) as hq:
    ...     df = hq.bars("600036", period="day", count=3000)
    ...     big = hq.bars_many(["600036", "000001.SZ"], period="day", count=800)

    `servers` are "HOST:PORT", "[IPv6]:PORT" or (host, port) pairs; host names are resolved
    once, here. Without them, the servers of ``PELMORA_SERVERS`` or else of the servers file in
    the user's config folder are used (`pelmora.config.resolve_servers`). Each server is used
    only after it has answered a request for one daily bar of the Shanghai index with data;
    servers that answer empty (quote-only servers), keep failing or send malformed answers are
    set aside with a `DataWarning` naming them, and their requests go to the others.
    `timeout` bounds one request's exchange (seconds), `connect_timeout` a connect; a request
    is tried `attempts` times over the pool. With `quiet`, calls give no `DataWarning`: what
    they would say is in the frames' ``attrs`` and in `servers` alone.

    Frames: a DatetimeIndex named ``datetime`` of naive exchange-local (Beijing) times: bars
    of a day or longer at midnight of their day, minute bars at the minute they end. Columns,
    all float64: ``open``, ``high``, ``low``, ``close`` in yuan (index points for indices),
    ``volume`` in lots of 100 shares (as the servers count it), ``amount`` (turnover) in yuan,
    and for index bars ``up_count`` and ``down_count``, the numbers of advancing and declining
    stocks. Units: see the units table in the docs (docs/units.md).

    Calls release the interpreter lock while they wait; ``asyncio.to_thread(hq.bars, ...)``
    does not block an event loop. One `HQ` may be used from several threads at once.
    """

    def __init__(self, servers: Iterable[ServerLike] | None = None, connections: int = 8, *,
                 timeout: float = 10.0, connect_timeout: float = 5.0,
                 attempts: int = 4, quiet: bool = False) -> None:
        from . import _engine
        from .config import resolve_servers
        if servers is None:
            servers = resolve_servers()
        texts = [_server_text(s) for s in servers]
        if not texts:
            raise ValueError("HQ needs at least one server")
        self._fetch = Fetch(_engine.Pool(texts, connections, timeout, connect_timeout,
                                         attempts))
        self._listed: dict[int, list[str]] = {}
        self._listed_set: dict[int, frozenset[str]] = {}
        # The size of each market's list last believed: a much shorter one is confirmed
        # elsewhere first.
        self._seen: dict[int, int] = {}
        self._list_lock = threading.Lock()
        self._quiet = quiet
        # (security, period) whose short history has been warned of (see _warn_short).
        self._short_warned: set[tuple[Symbol, str]] = set()
        # The trading day quotes are dated by, and the monotonic time it was asked (see
        # _quote_day), in a list that the quiet views share.
        self._quote_day: list[Any] = [None, 0.0]

    # -- life cycle

    def close(self) -> None:
        """Closes every connection and joins the worker threads; the HQ is unusable after."""
        self._fetch.close()

    def __enter__(self) -> HQ:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def servers(self) -> list[tuple[str, str, str]]:
        """(server, state, reason) of every server: state is "unverified", "verified" or
        "set aside"."""
        return self._fetch.servers()

    @property
    def bar_requests(self) -> int:
        """The bar requests (pages of up to 800 bars) this HQ has asked so far, by every call;
        a request tried again on another connection counts once."""
        return self._fetch.bar_requests

    @property
    def fetch(self) -> Fetch:
        """The columnar fetch layer under this HQ: batches of typed queries, the engine's
        columns out (`pelmora.fetch`)."""
        return self._fetch

    # -- bars

    def bars(self, symbol: SymbolLike, period: str | int = "day", count: int | None = None,
             start: DateLike | None = None, end: DateLike | None = None, *,
             progress: Progress | None = None, adjust: str | None = None,
             as_of: DateLike | None = None) -> pd.DataFrame:
        """Bars of one security, oldest first.

        `period`: ``1m 5m 15m 30m 60m day week month quarter year``, pandas' offset names for
        them (``"min"``, ``"5min"``, ``"h"``, ``"D"``, ``"W"``, ``"M"``/``"ME"``,
        ``"Q"``/``"QE"``, ``"Y"``/``"YE"``, ...: `pelmora.symbols.PERIOD_ALIASES`, matched as
        written, so ``"1m"`` is a minute and ``"M"`` a month) or a category 0-11; warnings
        name the period by its canonical name. ValueError listing the names for another.
        Without `start`, the latest `count` bars (default 800; more are fetched a page of 800
        at a time, all pages at once); with `start`, every bar from `start` (pages fetched
        back until it is reached). When the server's history is shorter than asked, a
        `DataWarning` says how far the data goes, once per security and period in the life
        of this `HQ` (a loop asking again is not warned again). `end` drops later bars (a
        date alone means the end of that day). Raises ValueError for a malformed name or a
        market the servers do not serve (Beijing's codes, ``bj830799`` as ``830799``),
        KeyError for a code the market's security list does not hold. `progress(done,
        total)` counts the requests (pages) with `count`, the security once its paging ends
        with `start` or `end`.

        `adjust`: ``"qfq"``, ``"hfq"``, ``"qfq-ratio"`` or ``"hfq-ratio"`` adjusts prices for
        the security's ex-rights events (`pelmora.adjust.adjust`; `as_of` ignores later
        events); minute bars by their day, bars longer than a day built from adjusted daily
        bars.

        Units: see the units table in the docs (docs/units.md).
        """
        if adjust is not None:
            return adjusted.bars(self, symbol, period, count, start, end, adjust, as_of,
                                 progress)
        sym = parse_symbol(symbol)
        period = period_name(period)
        category = parse_period(period)
        count, lo, hi = self._bounds(count, start, end)
        self._check_listed([sym])
        index = is_index(sym)
        try:
            if lo is None and hi is None:
                batch = self._run([(category, sym, s, n, index) for s, n in count_pages(count)],
                                  progress)
                raise_first(batch.errors())
                bars = batch.bars()
            else:
                walked, fails = self._walk_back([sym], period, count, lo, hi, progress)
                if fails:
                    raise fails[sym]
                bars = walked[sym]
        finally:
            self._warn_servers()
        got = len(bars)
        if got == 0:
            self._warn(f"{sym.canonical}: the server has no {period} bars"
                       + (" in the range asked for" if lo is not None or hi is not None
                          else ""), 2)
        elif lo is None and got < count:
            self._warn_short(sym, period, f"{sym.canonical}: {got} {period} bars, not {count}: "
                             f"its history goes back only to {bars.times[0]}", 2)
        return frames.bars_frame(bars)

    def bars_many(self, symbols: Iterable[SymbolLike], period: str | int = "day",
                  count: int | None = None, start: DateLike | None = None,
                  end: DateLike | None = None, *, errors: Literal["warn", "raise"] = "warn",
                  progress: Progress | None = None, adjust: str | None = None,
                  as_of: DateLike | None = None) -> pd.DataFrame:
        """Bars of many securities, fetched all at once, as one long frame: the index and
        columns of `bars` plus a categorical ``symbol`` column (canonical names such as
        sh600036), securities in the order given, each oldest first.

        Securities that failed (malformed or unlisted names, server errors) are left out and
        named with their reasons in a `DataWarning` and in ``frame.attrs["errors"]``;
        securities without bars are named in ``frame.attrs["empty"]``. With
        ``errors="raise"`` the first failure is raised instead. Raises when nothing could be
        fetched. `period`, `adjust` and `as_of` as for `bars`. One name (``"sh600036"``) is
        taken as one security, not as a list of its characters. `progress(done, total)`
        counts securities: `total` is the number asked (after duplicates and unlisted ones
        are left out), `done` those whose pages are all in.

        Units: see the units table in the docs (docs/units.md).
        """
        if errors not in ("warn", "raise"):
            raise ValueError(f"errors must be 'warn' or 'raise', not {errors!r}")
        if adjust is not None:
            adjusted.check_method(adjust)
        period = period_name(period)
        category = parse_period(period)
        count, lo, hi = self._bounds(count, start, end)
        fails: dict[str, BaseException] = {}
        syms: list[Symbol] = []
        seen: set[Symbol] = set()
        for value in many(symbols):
            try:
                sym = parse_symbol(value)
            except ValueError as exc:
                if errors == "raise":
                    raise
                fails[str(value)] = exc
                continue
            if sym not in seen:
                seen.add(sym)
                syms.append(sym)
        try:
            listed = self._check_listed(syms, fails if errors == "warn" else None)
            indices = [is_index(s) for s in listed]
            index = any(indices)
            if lo is None and hi is None:
                bars, counts, failed = self._fetch_counts(listed, indices, category, count,
                                                          progress)
                rows = counts.tolist()
            else:
                per, failed = self._walk_back(listed, period, count, lo, hi, progress)
                rows = [len(per[s]) if s in per else 0 for s in listed]
                bars = frames.concat([per[s] for s in listed if s in per], index)
        finally:
            self._warn_servers()
        for sym, error in failed.items():
            if errors == "raise":
                raise error
            fails[sym.canonical] = error
        if not listed or len(failed) == len(listed):
            self._raise_nothing(fails)
        empty = [s.canonical for s, n in zip(listed, rows) if n == 0 and s not in failed]
        frame = frames.long_frame(bars, [s.canonical for s in listed], rows)
        frame.attrs["errors"] = {name: _reason(e) for name, e in fails.items()}
        frame.attrs["empty"] = empty
        if fails:
            listing = "; ".join(f"{name} ({_reason(e)})" for name, e in fails.items())
            self._warn(f"{len(fails)} of {len(fails) + len(listed) - len(failed)} securities "
                       f"failed: {listing}", 2)
        if empty:
            self._warn(f"no {period} bars for {', '.join(empty)}", 2)
        if adjust is not None and len(frame):
            frame = adjusted.bars_many(self, frame, category, end, adjust, as_of)
        return frame

    # -- other commands

    def securities(self, market: str | int, *, known: int | None = None) -> pd.DataFrame:
        """Every security of a market ("sh" or "sz", or 1 or 0), every page at once: index
        ``symbol`` (such as sh600000), columns ``code``, ``name``, ``volunit`` (lot size),
        ``decimal_point`` and ``pre_close``.

        A list that is empty, or more than a tenth shorter than the last this `HQ` saw
        or than `known` (say, what a store last recorded), is asked of another server before it
        is believed; with one server, again on a fresh connection, then believed with a
        `DataWarning`.

        Units: see the units table in the docs (docs/units.md).
        """
        m = _market(market)
        total = self._listing(self._fetch.security_count, m, at_least=self._list_floor(m, known))
        batch = self._checked("securities", securities.pages(m, total),
                              at_least=securities.page_floors(total))
        out = securities.frame(batch, m)
        self._saw_list(m, len(out))
        return out

    def quotes(self, codes: Iterable[SymbolLike] | None = None, *,
               progress: Progress | None = None) -> pd.DataFrame:
        """The quotes of securities, a row each (index ``symbol``): ``price``, ``last_close``,
        ``open``, ``high``, ``low`` (yuan), ``servertime``, ``vol``, ``cur_vol``, ``amount``,
        ``s_vol``, ``b_vol`` and the five levels ``bid1`` ``ask1`` ``bid_vol1`` ``ask_vol1``
        ... ``ask_vol5``. Requests of 80 securities run at once. Without `codes`, every
        security of both markets; one name is one security. Securities the server does not
        answer, or whose request failed, are named in a `DataWarning` and in
        ``frame.attrs["missing"]`` and ``frame.attrs["errors"]``; raises when every request
        failed. `progress(done, total)` counts securities.

        ``servertime`` is the time of the quote as ``datetime64[s]``: the time of day the
        server sends (packed as the digits HHMMSSxx; hundredths dropped, NaT for a value that
        is no clock time) on the trading day the servers report (`trading_day`: one more
        request, asked again after a minute, so that a loop of quotes pays it once a minute). A
        datetime rather than a time of day, so that it compares with bar, tick
        and minute times as it stands, in the unit of every other datetime; the quotes of a
        closed market are those of the last session, whose day that is.

        Units: see the units table in the docs (docs/units.md).
        """
        if codes is None:
            syms = [Symbol(m, c) for m in MARKET_NAMES for c in self._code_list(m)]
        else:
            syms = list(dict.fromkeys(parse_symbol(c) for c in many(codes)))
        if not syms:
            raise ValueError("quotes needs at least one security")
        batch = self._table("quotes", quotes.requests(syms), in_securities(progress, len(syms)))
        return quotes.frame(batch, syms, self._warn, self._session_day)

    def ticks(self, symbol: SymbolLike, date: DateLike | None = None) -> pd.DataFrame:
        """Every tick of a day (today's without `date`), fetched a page of 2,000 at a time
        until the day is complete: index ``datetime``, the day plus the tick's hour and minute
        (ticks carry no seconds: not unique), in server order; columns ``price`` (yuan),
        ``vol``, ``num`` (today only), ``buyorsell`` and ``seq``, the tick's place in the
        day. Today's date is the trading day the servers report (see `trading_day`).

        Units: see the units table in the docs (docs/units.md).
        """
        sym = self._listed_symbol(symbol)
        day, number = self._day(date)
        pages = intraday.tick_pages(lambda qs: self._checked("ticks", qs), sym.market,
                                    sym.code, number, self._fetch.connections)
        return intraday.tick_frame(pages, day, number != 0)

    def minutes(self, symbol: SymbolLike, date: DateLike | None = None) -> pd.DataFrame:
        """The minute series of a day (today's without `date`): index ``datetime``, the day's
        minute times 09:31 ... 11:30, 13:01 ... 15:00 (each minute at its end); columns
        ``price`` (yuan) and ``vol``. Today's date is the trading day the servers report
        (see `trading_day`).

        Units: see the units table in the docs (docs/units.md).
        """
        sym = self._listed_symbol(symbol)
        day, number = self._day(date)
        batch = self._checked("minutes", [TableQuery.of(sym, date=number)])
        return intraday.minute_frame(batch.columns(intraday.MINUTE_COLUMNS), day)

    def _session_day(self) -> np.datetime64:
        """`trading_day`, asked again once it is a minute old."""
        import time
        day, asked = self._quote_day
        now = time.monotonic()
        if day is None or now - asked > QUOTE_DAY_SECONDS:
            day = self.trading_day()
            self._quote_day[:] = [day, now]
        return day  # type: ignore[no-any-return]

    def trading_day(self) -> np.datetime64:
        """Today's trading day as the servers report it: the date of the latest daily bar of
        the Shanghai composite index (the last session's day outside trading days)."""
        import numpy as np
        try:
            batch = self._fetch.bars([BarQuery(9, 1, "000001", 0, 1, True)])
        finally:
            self._warn_servers()
        raise_first(batch.errors())
        times = batch.bars().times
        if not len(times):
            raise ValueError("the servers report no daily bar of sh000001")
        return np.datetime64(times[-1], "D")

    def factors(self, symbol: SymbolLike) -> pd.DataFrame:
        """The price maps of the security's ex-rights events over its daily bars: the table of
        `pelmora.adjust.factors` (per event A and B of forward and backward adjustment, the
        reference price and the ratio factors).

        Units: see the units table in the docs (docs/units.md).
        """
        import pandas as pd
        from .adjust import factors
        sym = parse_symbol(symbol)
        events = self.xdxr(sym)
        dates = events.index.dropna()
        if len(dates):
            first = dates.min() - pd.Timedelta(days=31)
            daily = self._quietly().bars(sym, "day", start=first)
        else:
            daily = self.bars(sym, "day", count=1)
        return factors(events, daily)

    def xdxr(self, symbol: SymbolLike) -> pd.DataFrame:
        """The ex-rights and ex-dividend events of a security, oldest first: the frame of
        `pelmora.adjust.xdxr_frame` (index ``date``, ``category``, ``name``, the values), so
        ``adjust(bars, hq.xdxr(s), "qfq")`` adjusts bars.

        Units: see the units table in the docs (docs/units.md).
        """
        sym = self._listed_symbol(symbol)
        batch = self._checked("xdxr", [corporate.query(sym)])
        return corporate.xdxr_frames(batch, [sym])[sym]

    def xdxr_many(self, symbols: Iterable[SymbolLike], *, progress: Progress | None = None,
                  had_records: HadRecords = ()) -> dict[str, pd.DataFrame]:
        """The events of many securities, fetched all at once: canonical name -> the frame of
        `xdxr`. Securities that failed are left out and named in a `DataWarning`; raises when
        every one failed. One name is one security; `progress(done, total)` counts
        securities. An empty answer for a security of `had_records` (known to have events,
        say by a store), or one with fewer events than `had_records` maps it to, is asked of
        another server before it is believed.

        Units: see the units table in the docs (docs/units.md).
        """
        syms, batch = self._records_many("xdxr", symbols, "events", progress, had_records)
        return {s.canonical: f for s, f in corporate.xdxr_frames(batch, syms).items()}

    def finance_many(self, symbols: Iterable[SymbolLike], *,
                     had_records: HadRecords = ()) -> dict[str, pd.DataFrame]:
        """The finance summaries of many securities, fetched all at once: canonical name ->
        the frame of `finance`. Securities that failed are left out and named in a
        `DataWarning`; raises when every one failed. One name is one security. An empty
        answer for a security of `had_records` is asked of another server before it is
        believed.

        Units: see the units table in the docs (docs/units.md).
        """
        syms, batch = self._records_many("finance", symbols, "finance summary", None,
                                         had_records)
        return {s.canonical: f for s, f in corporate.finance_frames(batch, syms).items()}

    def finance(self, symbol: SymbolLike) -> pd.DataFrame:
        """The finance summary of a security as a one-row frame indexed by ``symbol``: the
        frame of `pelmora.adjust.finance_frame` (no rows when the server has none).

        Units: see the units table in the docs (docs/units.md).
        """
        sym = self._listed_symbol(symbol)
        batch = self._checked("finance", [corporate.query(sym)])
        return corporate.finance_frame(batch, sym)

    # -- internals

    def _day(self, date: DateLike | None) -> tuple[np.datetime64, int]:
        """The day and the number of a history request (0: today's commands)."""
        if date is None:
            return self.trading_day(), 0
        when = bound(date, "date", False)
        assert when is not None
        day = when.astype("M8[D]")
        return day, intraday.day_number(day)

    def _checked(self, kind: Any, queries: Sequence[Any],
                 at_least: Sequence[int] | None = None) -> Any:
        """The batch of queries that must all succeed: raises the first failure."""
        batch = self._table(kind, queries, at_least=at_least)
        raise_first(batch.errors())
        return batch

    def _table(self, kind: Any, queries: Sequence[Any], progress: Progress | None = None,
               at_least: Sequence[int] | None = None) -> Any:
        """A batch of table queries; `at_least`: the fewest rows each answer may have before
        it is asked of another server."""
        try:
            return self._fetch.table(kind, queries, progress, at_least)
        finally:
            self._warn_servers()

    def _records_many(self, kind: str, symbols: Iterable[SymbolLike], what: str,
                      progress: Progress | None = None, had_records: HadRecords = ()
                      ) -> tuple[list[Symbol], Any]:
        """The securities (each once) and the batch of a record query for each; raises when
        every one failed, names the failed ones in a `DataWarning` (no `what` for them). The
        answers for `had_records` must have a row (or as many as it maps a security to), or
        be confirmed by another server."""
        asked = list(dict.fromkeys(parse_symbol(s) for s in many(symbols)))
        fails: dict[str, BaseException] = {}
        syms = self._check_listed(asked, fails)
        if not syms and fails:
            self._raise_nothing(fails)
        if isinstance(had_records, Mapping):
            had = {parse_symbol(s): int(n) for s, n in had_records.items()}
        else:
            had = dict.fromkeys((parse_symbol(s) for s in many(had_records)), 1)
        batch = self._table(kind, [corporate.query(s) for s in syms], progress,
                            [had.get(s, 0) for s in syms] if had else None)
        errors = batch.errors()
        if errors and len(errors) == len(syms):
            raise_first(errors)
        fails.update((syms[i].canonical, e) for i, e in errors)
        if fails:
            listing = "; ".join(f"{name} ({_reason(e)})" for name, e in fails.items())
            self._warn(f"no {what} for {len(fails)} of {len(asked)} securities: {listing}", 3)
        return syms, batch

    @staticmethod
    def _bounds(count: int | None, start: DateLike | None, end: DateLike | None
                ) -> tuple[int, np.datetime64 | None, np.datetime64 | None]:
        if count is not None and start is not None:
            raise ValueError("give count or start, not both")
        if count is None:
            count = DEFAULT_COUNT
        if isinstance(count, bool) or not isinstance(count, int) or not 0 < count <= MAX_BARS:
            raise ValueError(f"count must be an integer from 1 to {MAX_BARS:,}, not {count!r}")
        lo, hi = bound(start, "start", False), bound(end, "end", True)
        if lo is not None and hi is not None and hi < lo:
            raise ValueError(f"end {end!r} is before start {start!r}")
        return count, lo, hi

    def _run(self, queries: Sequence[tuple[int, Symbol, int, int, bool]],
             progress: Progress | None) -> Any:
        return self._fetch.bars([BarQuery(c, s.market, s.code, start, n, ix)
                                 for c, s, start, n, ix in queries], progress)

    def _code_list(self, market: int) -> list[str]:
        with self._list_lock:
            if market not in self._listed:
                codes = self._listing(self._fetch.security_codes, market, None,
                                      self._list_floor(market))
                self._listed[market] = codes
                self._listed_set[market] = frozenset(codes)
                self._seen[market] = len(codes)
            return self._listed[market]

    def _listing(self, fetch: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        """A count or list fetched, then the pool's warnings given; when it fails, its error
        says what they would have (the servers set aside and why)."""
        try:
            out = fetch(*args, **kwargs)
        except BaseException:
            self._fetch.take_warnings()
            raise
        self._warn_servers()
        return out

    def _list_floor(self, market: int, known: int | None = None) -> int:
        """The fewest securities a count or list of `market` may hold before another server
        is asked (see `securities`)."""
        return securities.at_least(max(known or 0, self._seen.get(market, 0)))

    def _saw_list(self, market: int, size: int) -> None:
        with self._list_lock:
            self._seen[market] = size

    def _listed_symbol(self, symbol: SymbolLike) -> Symbol:
        """The security named, which its market's list must hold (else KeyError)."""
        sym = parse_symbol(symbol)
        self._check_listed([sym])
        return sym

    def _codes(self, market: int) -> frozenset[str]:
        self._code_list(market)
        return self._listed_set[market]

    def _check_listed(self, syms: Sequence[Symbol],
                      fails: dict[str, BaseException] | None = None) -> list[Symbol]:
        """The securities the markets' lists hold; KeyError for another (or, with `fails`,
        recorded there)."""
        out = []
        listed: dict[int, frozenset[str]] = {}
        for sym in syms:
            codes = listed.get(sym.market)
            if codes is None:
                codes = listed[sym.market] = self._codes(sym.market)
            if sym.code in codes:
                out.append(sym)
                continue
            exc = KeyError(f"{sym.canonical} is not in the security list of market "
                           f"{MARKET_NAMES[sym.market]}")
            if fails is None:
                raise exc
            fails[sym.canonical] = exc
        return out

    def _fetch_counts(self, syms: Sequence[Symbol], indices: Sequence[bool], category: int,
                      count: int, progress: Progress | None
                      ) -> tuple[frames.Bars, npt.NDArray[Any], dict[Symbol, BaseException]]:
        """The latest `count` bars of every security (`indices`: which are indices), every page
        in one batch."""
        import numpy as np
        pages = count_pages(count)
        batch = self._run([(category, s, start, n, ix) for s, ix in zip(syms, indices)
                           for start, n in pages], in_securities(progress, len(syms)))
        failed: dict[Symbol, BaseException] = {}
        for i, exc in batch.errors():
            failed.setdefault(syms[i // len(pages)], exc)
        rows = batch.rows().reshape(len(syms), len(pages)).sum(axis=1)
        bars = batch.bars()
        if failed:  # rows of a security with a failed page are left out whole
            keep = np.repeat([s not in failed for s in syms], rows)
            bars = bars.rows(keep)
            rows = np.where([s in failed for s in syms], 0, rows)
        return bars, rows, failed

    def _walk_back(self, syms: Sequence[Symbol], period: str, count: int,
                   lo: np.datetime64 | None, hi: np.datetime64 | None,
                   progress: Progress | None
                   ) -> tuple[dict[Symbol, frames.Bars], dict[Symbol, BaseException]]:
        """Pages back from the latest bar, all securities at once, each until its oldest bar
        reaches `lo` (or, without `lo`, until it has `count` bars up to `hi`), or its history
        ends. Warns where the history ends before `lo`. `progress` counts the securities whose
        paging has ended, after each round of pages."""
        category = parse_period(period)
        pages: dict[Symbol, list[frames.Bars]] = {s: [] for s in syms}
        have = dict.fromkeys(syms, 0)
        failed: dict[Symbol, BaseException] = {}
        pending = list(syms)
        start = 0
        while pending and start <= _MAX_START:
            batch = self._run([(category, s, start, BAR_PAGE, is_index(s)) for s in pending],
                              None)
            errs = dict(batch.errors())
            fetched = batch.bars()
            ends = batch.rows().cumsum()
            still = []
            for i, sym in enumerate(pending):
                if i in errs:
                    failed[sym] = errs[i]
                    continue
                page = fetched.rows(slice(ends[i - 1] if i else 0, ends[i]))
                n = len(page)
                pages[sym].append(page)
                times = page.times
                if hi is not None:
                    have[sym] += int((times <= hi).sum())
                done = (n < BAR_PAGE or (lo is not None and n and times[0] <= lo)
                        or (lo is None and have[sym] >= count))
                if n < BAR_PAGE and lo is not None and (n == 0 or times[0] > lo) and \
                        (n or len(pages[sym]) > 1):
                    oldest = times[0] if n else pages[sym][-2].times[0]
                    self._warn_short(sym, period, f"{sym.canonical}: the server's {period} bars "
                                     f"go back only to {oldest}", 4)
                if not done:
                    still.append(sym)
            pending = still
            start += BAR_PAGE
            if progress is not None:
                progress(len(syms) - len(pending), len(syms))
        out = {}
        for sym in syms:
            if sym in failed:
                continue
            bars = frames.concat(pages[sym][::-1], is_index(sym))
            times = bars.times
            keep = None
            if lo is not None:
                keep = times >= lo
            if hi is not None:
                keep = (times <= hi) if keep is None else keep & (times <= hi)
            if keep is not None:
                bars = bars.rows(keep)
            if lo is None:
                bars = bars.rows(slice(max(0, len(bars) - count), None))
            out[sym] = bars
        return out, failed

    def _warn_servers(self) -> None:
        for text in self._fetch.take_warnings():
            self._warn(text, 3)

    def _warn_short(self, sym: Symbol, period: str, text: str, stacklevel: int) -> None:
        """The warning of a history shorter than asked, given once per security and period in
        this HQ's life: a loop that asks again learns nothing new from it."""
        if self._quiet:  # said in no warning: leave it to a caller that warns
            return
        key = (sym, period)
        with self._list_lock:
            if key in self._short_warned:
                return
            self._short_warned.add(key)
        self._warn(text, stacklevel + 1)

    def _warn(self, text: str, stacklevel: int) -> None:
        """A `DataWarning` unless quiet; `stacklevel` counts from the caller. Not a warnings
        filter: that is process-wide, and other threads warn meanwhile."""
        if not self._quiet:
            warnings.warn(text, DataWarning, stacklevel=stacklevel + 1)

    def _quietly(self) -> HQ:
        """This HQ, on the same pool and lists, without warnings: for fetches whose shortfalls
        repeat what their caller has already said (daily bars that build longer ones)."""
        view = copy.copy(self)
        view._quiet = True
        return view

    @staticmethod
    def _raise_nothing(fails: dict[str, BaseException]) -> None:
        if not fails:
            raise ValueError("bars_many needs at least one security")
        name, first = next(iter(fails.items()))
        listing = "; ".join(f"{n}: {_message(e)}" for n, e in fails.items())
        raise type(first)(f"no security could be fetched: {listing}") from first


__all__ = ["HQ", "DataWarning", "count_pages"]
