"""`HQ`: bars of many securities from a pool of HQ servers, as pandas DataFrames, and the
other commands (quotes, security lists, ticks, minute series, ex-rights events, finance
summaries) on the same pool. Its parts are the modules beside it: the security lists
(`listing`), the paging of bars (`paging`, `raw_bars`), the adjusted bars (`adjusted`), the
table batches (`tables`) and the frames of each command.

The connections are served by native worker threads (`pelmora._engine`) that run without the
interpreter lock: a call waits without holding it, so other Python threads, and an asyncio
event loop that runs the call through ``asyncio.to_thread(hq.bars, ...)``, keep running.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Iterable, Literal, Union, overload

from ..arrow import ArrowBars, Output, check_output, deliver
from ..methods import check_method
from ..dates import DateLike
from ..fetch import BarQuery, Fetch, TableQuery, raise_first
from ..periods import PeriodLike, to_period
from ..servers import literal_host, parse_address
from ..symbols import MARKET_NAMES, MARKETS, Symbol, SymbolLike, many, parse_symbol
from . import adjusted, intraday, quotes, securities
from .bounds import bar_bounds
from .listing import SecurityLists, page_floors
from .notices import Notices
from .paging import in_securities
from .raw_bars import RawBars
from .scaling import Scaling
from .tables import HadRecords, Tables

if TYPE_CHECKING:
    import numpy as np
    import pandas as pd

    from .verify import VerifyReport

ServerLike = Union[str, tuple[str, int]]
Progress = Callable[[int, int], object]

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


def _market(market: str | int) -> int:
    if isinstance(market, str) and market.lower() in MARKETS:
        return MARKETS[market.lower()]
    if isinstance(market, int) and market in MARKET_NAMES:
        return market
    raise ValueError(f"invalid market {market!r}: expected 'sh' or 'sz' (or 1 or 0)")


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
    all float64: ``open``, ``high``, ``low``, ``close``, ``volume``, ``amount`` (turnover),
    and for index bars ``up_count`` and ``down_count``, the numbers of advancing and declining
    stocks. Every volume of every frame (bars, quotes, ticks, minutes) is float64 in one unit
    whatever the security's lot size; with `lots` the frames keep the servers' counts of lots
    (of the security list's ``volunit``) as the servers send them. Units: see docs/units.md.

    Calls release the interpreter lock while they wait; ``asyncio.to_thread(hq.bars, ...)``
    does not block an event loop. One `HQ` may be used from several threads at once.
    """

    def __init__(self, servers: Iterable[ServerLike] | None = None, connections: int = 8, *,
                 timeout: float = 10.0, connect_timeout: float = 5.0,
                 attempts: int = 4, quiet: bool = False, lots: bool = False) -> None:
        from .. import _engine
        from ..config import resolve_servers
        if servers is None:
            servers = resolve_servers()
        texts = [_server_text(s) for s in servers]
        if not texts:
            raise ValueError("HQ needs at least one server")
        self._fetch = Fetch(_engine.Pool(texts, connections, timeout, connect_timeout,
                                         attempts))
        # A server asked alone (by `verify`) is asked with the same limits.
        self._limits = (timeout, connect_timeout, attempts)
        self._notices = Notices(self._fetch, quiet)
        self._lists = SecurityLists(self._fetch, self._notices)
        self._scaling = Scaling(self._lists, self._notices, lots)
        self._raw = RawBars(self._fetch, self._lists, self._notices, self._scaling)
        self._tables = Tables(self._fetch, self._lists, self._notices)
        # The trading day quotes are dated by, and the monotonic time it was asked (see
        # _session_day).
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

    def bars(self, symbol: SymbolLike, period: PeriodLike = "day", count: int | None = None,
             start: DateLike | None = None, end: DateLike | None = None, *,
             progress: Progress | None = None, adjust: str | None = None,
             as_of: DateLike | None = None) -> pd.DataFrame:
        """Bars of one security, oldest first.

        `period`: ``1m 5m 15m 30m 60m day week month quarter year``, pandas' offset names for
        them (``"min"``, ``"5min"``, ``"h"``, ``"D"``, ``"W"``, ``"M"``/``"ME"``,
        ``"Q"``/``"QE"``, ``"Y"``/``"YE"``, ...: `pelmora.periods.PERIOD_ALIASES`, matched as
        written, so ``"1m"`` is a minute and ``"M"`` a month), a category 0-11, or a
        `pelmora.periods.Period`; warnings name the period by its canonical name. ValueError
        listing the names for another.
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
            check_method(adjust)
        sym = parse_symbol(symbol)
        period = to_period(period)
        count, lo, hi = bar_bounds(count, start, end)
        frame = self._raw.one(sym, period, count, lo, hi, progress)
        if adjust is None or frame.empty:
            return frame
        return adjusted.bars(frame, self.xdxr(sym), sym.canonical, period, end, adjust, as_of,
                             self._raw.quieted())

    @overload
    def bars_many(self, symbols: Iterable[SymbolLike], period: PeriodLike = ...,
                  count: int | None = ..., start: DateLike | None = ...,
                  end: DateLike | None = ..., *, errors: Literal["warn", "raise"] = ...,
                  progress: Progress | None = ..., adjust: str | None = ...,
                  as_of: DateLike | None = ..., output: Literal["arrow"]) -> ArrowBars: ...

    @overload
    def bars_many(self, symbols: Iterable[SymbolLike], period: PeriodLike = ...,
                  count: int | None = ..., start: DateLike | None = ...,
                  end: DateLike | None = ..., *, errors: Literal["warn", "raise"] = ...,
                  progress: Progress | None = ..., adjust: str | None = ...,
                  as_of: DateLike | None = ...,
                  output: Literal["pandas", "polars", "pyarrow"] = ...) -> Any: ...

    def bars_many(self, symbols: Iterable[SymbolLike], period: PeriodLike = "day",
                  count: int | None = None, start: DateLike | None = None,
                  end: DateLike | None = None, *, errors: Literal["warn", "raise"] = "warn",
                  progress: Progress | None = None, adjust: str | None = None,
                  as_of: DateLike | None = None, output: Output = "pandas") -> Any:
        """Bars of many securities, fetched all at once, as one long frame: the index and
        columns of `bars` plus a categorical ``symbol`` column (canonical names such as
        sh600036) and after it a categorical ``type`` (`pelmora.instruments.TYPES`: stock,
        index, fund, ...), securities in the order given, each oldest first.

        Securities that failed (malformed or unlisted names, server errors) are left out and
        named with their reasons in a `DataWarning` and in ``frame.attrs["errors"]``;
        securities without bars are named in ``frame.attrs["empty"]``. With
        ``errors="raise"`` the first failure is raised instead. Raises when nothing could be
        fetched. `period`, `adjust` and `as_of` as for `bars`. One name (``"sh600036"``) is
        taken as one security, not as a list of its characters. `progress(done, total)`
        counts securities: `total` is the number asked (after duplicates and unlisted ones
        are left out), `done` those whose pages are all in.

        `output`: ``"pandas"`` (the frame), ``"arrow"`` (a `pelmora.ArrowBars`, its columns
        over the engine's memory, built without pandas), ``"polars"`` (a polars DataFrame)
        or ``"pyarrow"`` (a pyarrow Table). Units: see the units table in the docs
        (docs/units.md).
        """
        if errors not in ("warn", "raise"):
            raise ValueError(f"errors must be 'warn' or 'raise', not {errors!r}")
        check_output(output)
        if adjust is not None:
            check_method(adjust)
        period = to_period(period)
        count, lo, hi = bar_bounds(count, start, end)
        if output != "pandas" and adjust is None:
            return deliver(self._raw.many_arrow(symbols, period, count, lo, hi, errors,
                                                progress), output)
        frame = self._raw.many(symbols, period, count, lo, hi, errors, progress)
        if adjust is not None and len(frame):
            names = [str(s) for s in frame["symbol"].cat.categories]
            frame = adjusted.bars_many(frame, self.xdxr_many(names), period, end, adjust,
                                       as_of, self._raw.quieted())
        frame = self._scaling.typed(frame)
        return frame if output == "pandas" else deliver(ArrowBars.from_frame(frame), output)

    def verify(self, symbols: Iterable[SymbolLike] | None = None, *, sample: int = 100,
               period: PeriodLike = "day", seed: int | None = None) -> VerifyReport:
        """Checks the servers against each other: the latest page of bars (up to 800) of each
        security, asked of two servers and compared column by column (datetime, open, high,
        low, close, volume, amount, and for indices up_count and down_count).

        Without `symbols`, `sample` securities drawn at random (by `seed`) from both markets'
        lists. Securities are shared out over pairs of servers in turn, each server asked on a
        connection of its own; where a pair disagrees, a third server is asked, and a server
        that the two others outvote is set aside in this `HQ`'s pool (later calls do not use
        it) with a `DataWarning` naming it. Checking N securities costs 2N requests while the
        servers agree. ValueError with fewer than two servers in use.

        Returns a `pelmora.hq.verify.VerifyReport`: `disagreements` (a frame of server,
        symbol, datetime, column, value, expected), `set_aside`, `requests`, `ok` and a
        readable ``str()``. Units: see the units table in the docs (docs/units.md).
        """
        from .. import _engine
        from . import verify as checks
        period = to_period(period)
        if symbols is None:
            if sample < 1:
                raise ValueError(f"sample must be 1 or more, not {sample}")
            syms = checks.pick(self._lists.codes, sample, seed)
        else:
            syms = self._lists.check(list(dict.fromkeys(parse_symbol(s) for s in many(symbols))))
        servers = [name for name, state, _ in self.servers if state != "set aside"]
        if len(servers) < 2:
            raise ValueError(f"verify needs two servers in use, not {len(servers)}")
        verifier = checks.Verifier(
            servers, lambda server: Fetch(_engine.Pool([server], 1, *self._limits)))
        try:
            return checks.verify(verifier, syms, period, self._fetch.set_aside)
        finally:
            verifier.close()
            self._notices.servers()

    # -- other commands

    def securities(self, market: str | int, *, known: int | None = None) -> pd.DataFrame:
        """Every security of a market ("sh" or "sz", or 1 or 0), every page at once: index
        ``symbol`` (such as sh600000), columns ``code``, ``name``, ``type`` (categorical:
        `pelmora.instruments.TYPES`), ``volunit`` (lot size) and ``decimal_point``. The
        previous close is the quotes' ``last_close`` (`quotes`); the list's own travels in a
        packed form that can be far off.

        A list that is empty, or more than a tenth shorter than the last this `HQ` saw
        or than `known` (say, what a store last recorded), is asked of another server before it
        is believed; with one server, again on a fresh connection, then believed with a
        `DataWarning`.

        Units: see the units table in the docs (docs/units.md).
        """
        m = _market(market)
        total = self._lists.count(m, known)
        batch = self._tables.checked("securities", securities.pages(m, total),
                                     at_least=page_floors(total))
        out = securities.frame(batch, m)
        self._lists.kept(m, out["code"].tolist(), out["volunit"].tolist(),
                         out["decimal_point"].tolist())
        return out

    def quotes(self, codes: Iterable[SymbolLike] | None = None, *,
               progress: Progress | None = None) -> pd.DataFrame:
        """The quotes of securities, a row each (index ``symbol``): ``price``, ``last_close``,
        ``open``, ``high``, ``low``, ``servertime``, ``vol``, ``cur_vol``, ``amount``,
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
            syms = [Symbol(m, c) for m in MARKET_NAMES for c in self._lists.codes(m)]
        else:
            syms = list(dict.fromkeys(parse_symbol(c) for c in many(codes)))
        if not syms:
            raise ValueError("quotes needs at least one security")
        batch = self._tables.table("quotes", quotes.requests(syms),
                                   in_securities(progress, len(syms)))
        return quotes.frame(batch, syms, self._notices.warn, self._session_day, self._scaling)

    def ticks(self, symbol: SymbolLike, date: DateLike | None = None) -> pd.DataFrame:
        """Every tick of a day (today's without `date`), fetched a page of 2,000 at a time
        until the day is complete: index ``datetime``, the day plus the tick's hour and minute
        (ticks carry no seconds: not unique), in server order; columns ``price``,
        ``vol``, ``num`` (today only), ``buyorsell`` and ``seq``, the tick's place in the
        day. Today's date is the trading day the servers report (see `trading_day`).

        Units: see the units table in the docs (docs/units.md).
        """
        sym = self._lists.listed(symbol)
        day, number = self._day(date)
        pages = intraday.tick_pages(lambda qs: self._tables.checked("ticks", qs), sym.market,
                                    sym.code, number, self._fetch.connections)
        return intraday.tick_frame(pages, day, number != 0, self._intraday_units(sym))

    def minutes(self, symbol: SymbolLike, date: DateLike | None = None) -> pd.DataFrame:
        """The minute series of a day (today's without `date`): index ``datetime``, the day's
        minute times 09:31 ... 11:30, 13:01 ... 15:00 (each minute at its end); columns
        ``price`` and ``vol``. Today's date is the trading day the servers report
        (see `trading_day`).

        Units: see the units table in the docs (docs/units.md).
        """
        sym = self._lists.listed(symbol)
        day, number = self._day(date)
        batch = self._tables.checked("minutes", [TableQuery.of(sym, date=number)])
        scale = self._intraday_units(sym)
        return intraday.minute_frame(scale(batch.columns(intraday.MINUTE_COLUMNS)), day)

    def _intraday_units(self, sym: Symbol) -> Callable[[dict[str, Any]], dict[str, Any]]:
        """Puts a tick or minute answer's ``price`` and ``vol`` in the frames' units."""
        return lambda data: self._scaling.one(data, sym, ("price",), ("vol",))

    def _day(self, date: DateLike | None) -> tuple[np.datetime64, int]:
        """The day and the number of a history request (0: today's commands)."""
        return (self.trading_day(), 0) if date is None else intraday.history_day(date)

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
            self._notices.servers()
        raise_first(batch.errors())
        times = batch.bars().times
        if not len(times):
            raise ValueError("the servers report no daily bar of sh000001")
        return np.datetime64(times[-1], "D")

    # -- ex-rights events and finance

    def factors(self, symbol: SymbolLike) -> pd.DataFrame:
        """The price maps of the security's ex-rights events over its daily bars: the table of
        `pelmora.adjust.factors` (per event A and B of forward and backward adjustment, the
        reference price and the ratio factors).

        Units: see the units table in the docs (docs/units.md).
        """
        import pandas as pd
        from ..adjust import factors
        sym = parse_symbol(symbol)
        events = self.xdxr(sym)
        dates = events.index.dropna()
        if len(dates):
            first = dates.min() - pd.Timedelta(days=31)
            count, lo, hi = bar_bounds(None, first, None)
            daily = self._raw.quieted().one(sym, adjusted.DAY, count, lo, hi, None)
        else:
            daily = self.bars(sym, "day", count=1)
        return factors(events, daily)

    def xdxr(self, symbol: SymbolLike) -> pd.DataFrame:
        """The ex-rights and ex-dividend events of a security, oldest first: the frame of
        `pelmora.events.xdxr_frame` (index ``date``, ``category``, ``name``, the values), so
        ``adjust(bars, hq.xdxr(s), "qfq")`` adjusts bars.

        Units: see the units table in the docs (docs/units.md).
        """
        from ..events import xdxr_frames
        sym = self._lists.listed(symbol)
        batch = self._tables.checked("xdxr", [TableQuery.of(sym)])
        return xdxr_frames(batch, [sym])[sym]

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
        from ..events import xdxr_frames
        syms, batch = self._tables.records_many("xdxr", symbols, "events", progress,
                                                had_records)
        return {s.canonical: f for s, f in xdxr_frames(batch, syms).items()}

    def finance_many(self, symbols: Iterable[SymbolLike], *,
                     had_records: HadRecords = ()) -> dict[str, pd.DataFrame]:
        """The finance summaries of many securities, fetched all at once: canonical name ->
        the frame of `finance`. Securities that failed are left out and named in a
        `DataWarning`; raises when every one failed. One name is one security. An empty
        answer for a security of `had_records` is asked of another server before it is
        believed.

        Units: see the units table in the docs (docs/units.md).
        """
        from ..events import finance_frames
        syms, batch = self._tables.records_many("finance", symbols, "finance summary", None,
                                                had_records)
        return {s.canonical: f for s, f in finance_frames(batch, syms).items()}

    def finance(self, symbol: SymbolLike) -> pd.DataFrame:
        """The finance summary of a security as a one-row frame indexed by ``symbol``: the
        frame of `pelmora.events.finance_frame` (no rows when the server has none).

        Units: see the units table in the docs (docs/units.md).
        """
        from ..events import finance_frames
        sym = self._lists.listed(symbol)
        batch = self._tables.checked("finance", [TableQuery.of(sym)])
        return finance_frames(batch, [sym])[sym]
