"""Security lists, quotes, ex-rights records and finance figures for a sync, from the engine's
columns to the rows the store writes, each judged before it may replace what is stored.

An answer that would shrink what the store holds is doubted: the engine asks another server
(or, with one server, asks again) before it believes a security list much shorter than the one
stored, or fewer events than are stored, or no finance record for a security that has one
(`at_least`). What one server alone said is still not allowed to delete stored events or a
stored finance record, and a shorter list of events than the stored one is never believed:
events are history, they do not go away.
"""
from __future__ import annotations

import dataclasses
import math
from typing import Any, Callable, Sequence, TypeVar

import numpy as np

from .. import instruments, records, units
from ..hq import quotes, securities
from ..hq.listing import at_least, page_floors
from ..events import SINGLE_KEYS, single_decimal
from ..fetch import Fetch, Pending, TableQuery, TableResult, raise_first
from ..symbols import Symbol
from .adjusted import valid_dates

Record = dict[str, Any]
T = TypeVar("T")
# An ex-rights event as stored: date (YYYYMMDD, 0 for none), category, name, the values (None
# where its category has none).
Event = tuple[Any, ...]
# A security-list row: code, name, volunit, decimal_point, pre_close.
Listed = tuple[str, str, int, int, float]
# Finance figures that count shares or holders, which no real security has below zero.
COUNTS = ("liutongguben", "zongguben", "guojiagu", "faqirenfarengu", "farengu", "bgu", "hgu",
          "zhigonggu", "gudongrenshu")
_DATES = ("updated_date", "ipo_date")
_FINANCE_FIRST = ("liutongguben", "province", "industry") + _DATES


@dataclasses.dataclass
class Fetched:
    """What a security's tables request gave: rows to store (None: keep the stored ones)
    and, by part ("xdxr", "finance"), None for a part fetched and believed or why not."""
    xdxr: list[Event] | None = None
    finance: Record | None = None
    parts: dict[str, str | None] = dataclasses.field(default_factory=dict)


def _failure(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {exc}"


def listing(result: TableResult) -> list[Listed]:
    """The rows of a market's security list, in list order."""
    data = result.columns(securities.COLUMNS)
    return list(zip(data["code"], data["name"], data["volunit"].tolist(),
                    data["decimal_point"].tolist(), data["pre_close"].tolist()))


def closes(result: TableResult, syms: Sequence[Symbol], points: dict[str, int]
           ) -> dict[Symbol, tuple[float, float]]:
    """(previous close in yuan, today's volume in lots: only whether it is 0 matters) of each
    of `syms` answered, its first answer. `points`: the decimals of each security's prices by
    symbol, the security list's (a security without: its code range's)."""
    data = result.columns(("market", "code", "last_close", "vol"))
    asked = {(s.market, s.code): s for s in syms}
    markets = data["market"].tolist()
    last_close = units.rescale_prices(data["last_close"], [
        points.get(Symbol(m, c).canonical, instruments.kind_of(m, c).decimal_point)
        for m, c in zip(markets, data["code"])])
    out: dict[Symbol, tuple[float, float]] = {}
    for m, c, close, vol in zip(markets, data["code"], last_close.tolist(),
                                data["vol"].tolist()):
        s = asked.get((m, c))
        if s is not None and s not in out:
            out[s] = (close, vol)
    return out


def event_rows(result: TableResult, syms: Sequence[Symbol]) -> dict[Symbol, list[Event]]:
    """The events of each security whose request did not fail, oldest first (those without a
    calendar date last): single-precision values as their shortest decimal, as
    `pelmora.events.xdxr_frame` gives them."""
    data = result.columns(records.XDXR + records.XDXR_VALUES)
    dates = data["year"] * 10000 + data["month"] * 100 + data["day"]
    dated = valid_dates(dates)
    dates = np.where(dated, dates, 0)
    days = dates.tolist()
    values = [single_decimal(data[k]) if k in SINGLE_KEYS else data[k]
              for k in records.XDXR_VALUES]
    columns = [[None if math.isnan(v) else v for v in column.tolist()] for column in values]
    category, names = data["category"].tolist(), data["name"]
    failed = {i for i, _ in result.errors()}
    edges = result.bounds().tolist()
    out = {}
    for i, sym in enumerate(syms):
        if i in failed:
            continue
        a, b = edges[i], edges[i + 1]
        # Stable, as the frame's sort by date: events of one day keep the server's order.
        order = (a + np.lexsort((dates[a:b], ~dated[a:b]))).tolist()
        out[sym] = [(days[j], category[j], str(names[j]), *(c[j] for c in columns))
                    for j in order]
    return out


def finance_records(result: TableResult, syms: Sequence[Symbol]) -> dict[Symbol, Record]:
    """The finance record of each security whose request did not fail ({} where the server has
    none): market and code, then the figures; dates as YYYYMMDD, 0 where none."""
    names = result.names()
    data = result.columns(names)
    columns = {}
    for name in [n for n in _FINANCE_FIRST if n in data] + [n for n in names
                                                            if n not in _FINANCE_FIRST]:
        column = data[name]
        if name in _DATES:
            column = np.where(valid_dates(column), column, 0)
        columns[name] = column if isinstance(column, list) else column.tolist()
    failed = {i for i, _ in result.errors()}
    edges = result.bounds().tolist()
    out: dict[Symbol, Record] = {}
    for i, sym in enumerate(syms):
        if i in failed:
            continue
        if edges[i + 1] == edges[i]:
            out[sym] = {}
            continue
        row = edges[i]
        out[sym] = {"market": sym.market, "code": sym.code,
                    **{name: column[row] for name, column in columns.items()}}
    return out


def events_doubt(rows: list[Event], stored: int, confirmed: bool) -> str | None:
    """Why a fresh list of events may not replace the `stored` number of them (None: it may).
    `confirmed`: an answer shorter than that was asked of a second server too."""
    if len(rows) < stored and not confirmed:
        return (f"events unconfirmed: {len(rows) or 'none'} given where {stored} are stored, "
                f"by the only server (the stored ones are kept)")
    return None


def finance_doubt(record: Record, stored: bool, confirmed: bool) -> str | None:
    """Why a fresh finance record may not replace the stored one (None: it may)."""
    if not record:
        if stored and not confirmed:
            return "finance unconfirmed: none given by the only server (the stored one is kept)"
        return None
    bad = [k for k, v in record.items() if isinstance(v, float) and not math.isfinite(v)]
    bad += [k for k in COUNTS if isinstance(record.get(k), (int, float)) and record[k] < 0]
    # A security may have no listing date on record; a report always has its date.
    bad += [k for k in ("updated_date",) if not record.get(k)]
    if bad:
        return "finance figures not believable: " + ", ".join(
            f"{k}={record.get(k)!r}" for k in dict.fromkeys(bad))
    return None


class Tables:
    """Starts the lists, quotes, ex-rights records and finance records of a sync on the
    engine; each `start_*` returns what waits for its answer and reads it."""

    def __init__(self, fetch: Fetch) -> None:
        self._fetch = fetch

    def start_quotes(self, syms: Sequence[Symbol]
                     ) -> Callable[[dict[str, int]], dict[Symbol, tuple[float, float]]]:
        """The quotes' previous closes and volumes (see `closes`, which takes the decimals
        once the lists are in). The quote's previous close is the reference price on an
        ex-date, exact to the last decimal (the security list's is packed into a lossy 32-bit
        form)."""
        pending = self._fetch.start_table("quotes", quotes.requests(syms))

        def take(points: dict[str, int]) -> dict[Symbol, tuple[float, float]]:
            try:
                return closes(pending.result(), syms, points)
            except Exception:  # no quotes: every security is asked for its bars and records
                return {}
        return take

    def start_list(self, market: int, known: int | None = None) -> Callable[[], list[Listed]]:
        """The security list of `market`: its count is asked now, its pages started. `known`,
        the number of securities the store last listed there, makes a much shorter answer
        doubted."""
        total = self._fetch.security_count(market, at_least=at_least(known or 0))
        pending = self._fetch.start_table("securities", securities.pages(market, total),
                                          at_least=page_floors(total)) \
            if total else None

        def take() -> list[Listed]:
            if pending is None:
                return []
            result = pending.result()
            raise_first(result.errors())
            return listing(result)
        return take

    def confirmed(self) -> bool:
        """Whether the engine has a second server to confirm an empty answer with."""
        return sum(state != "set aside" for _, state, _ in self._fetch.servers()) > 1

    def start(self, syms: Sequence[Symbol], events: dict[str, int],
              finances: set[str]) -> Callable[[], dict[Symbol, Fetched]]:
        """Starts fetching the ex-rights events and finance records of `syms`; `events` maps
        the securities that have stored events to their number, `finances` names those with a
        stored finance record: an answer with fewer is asked of another server."""
        queries = [TableQuery.of(s) for s in syms]
        stored = [events.get(s.canonical, 0) for s in syms]
        had = [int(s.canonical in finances) for s in syms]
        xdxr = self._fetch.start_table("xdxr", queries, stored if any(stored) else None)
        fins = self._fetch.start_table("finance", queries, had if any(had) else None)

        def take() -> dict[Symbol, Fetched]:
            by_sym, failure = _taken(xdxr, syms, event_rows)
            by_fin, fin_failure = _taken(fins, syms, finance_records)
            confirmed = self.confirmed()
            out: dict[Symbol, Fetched] = {}
            for s, count in zip(syms, stored):
                got = out[s] = Fetched()
                rows = by_sym.get(s)
                if rows is None:
                    got.parts["xdxr"] = f"ex-rights events: {failure[s]}"
                else:
                    doubt = events_doubt(rows, count, confirmed)
                    got.parts["xdxr"] = doubt
                    got.xdxr = rows if doubt is None else None
                record = by_fin.get(s)
                if record is None:
                    got.parts["finance"] = f"finance: {fin_failure[s]}"
                else:
                    doubt = finance_doubt(record, s.canonical in finances, confirmed)
                    got.parts["finance"] = doubt
                    got.finance = record if doubt is None else None
            return out
        return take


def _taken(pending: Pending[TableResult], syms: Sequence[Symbol],
           read: Callable[[TableResult, Sequence[Symbol]], dict[Symbol, T]]
           ) -> tuple[dict[Symbol, T], dict[Symbol, str]]:
    """What a batch of a request per security gave by security, and why each security left
    out failed."""
    try:
        result = pending.result()
    except Exception as exc:
        return {}, dict.fromkeys(syms, _failure(exc))
    errors = result.errors()
    why = {syms[i]: _failure(e) for i, e in errors}
    del errors  # the errors' tracebacks hold this frame
    return read(result, syms), why
