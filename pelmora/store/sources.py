"""Security lists, quotes, ex-rights records and finance figures for a sync, from the `HQ`'s
pool, as the plain records the writer stores, each judged before it may replace what is stored.

An answer that would shrink what the store holds is doubted: `HQ` asks another server (or, with
one server, asks again) before it believes a security list much shorter than the one stored, or
no events or finance record for a security that has some. What one server alone said is still
not allowed to delete stored events or a stored finance record, and a shorter list of events
than the stored one is never believed: events are history, they do not go away.
"""
from __future__ import annotations

import concurrent.futures
import dataclasses
import math
from typing import TYPE_CHECKING, Any, Callable, Collection, Sequence

from ..symbols import MARKET_NAMES, Symbol

if TYPE_CHECKING:
    from ..hq import HQ

Record = dict[str, Any]
TABLE_THREADS = 8                # batches of records fetched beside the bars at once
# Finance figures that count shares or holders, which no real security has below zero.
COUNTS = ("liutongguben", "zongguben", "guojiagu", "faqirenfarengu", "farengu", "bgu", "hgu",
          "zhigonggu", "gudongrenshu")


@dataclasses.dataclass
class Fetched:
    """What a security's tables request gave: records to store (None: keep the stored ones)
    and, by part ("xdxr", "finance"), None for a part fetched and believed or why not."""
    xdxr: list[Record] | None = None
    finance: Record | None = None
    parts: dict[str, str | None] = dataclasses.field(default_factory=dict)


def _day(value: Any) -> int:
    """A timestamp as YYYYMMDD (0 for NaT)."""
    if value is None or value != value:  # NaT compares unequal to itself
        return 0
    return int(value.year * 10000 + value.month * 100 + value.day)


def xdxr_records(frame: Any) -> list[Record]:
    """The rows of a `pelmora.adjust.xdxr_frame` as the records it was built from."""
    out = []
    values = [c for c in frame.columns if c not in ("category", "name")]
    for date, row in zip(frame.index, frame.itertuples(index=False)):
        day = _day(date)
        rec: Record = {"year": day // 10000, "month": day // 100 % 100, "day": day % 100,
                       "category": int(row.category), "name": str(row.name)}
        for key in values:
            v = getattr(row, key)
            if not (isinstance(v, float) and math.isnan(v)):
                rec[key] = float(v)
        out.append(rec)
    return out


def finance_record(frame: Any, sym: Symbol) -> Record:
    """The row of a `pelmora.adjust.finance_frame` as the record it was built from ({} for
    none)."""
    if len(frame) == 0:
        return {}
    rec: Record = {"market": sym.market, "code": sym.code}
    for key, value in frame.iloc[0].items():
        if key in ("updated_date", "ipo_date"):
            rec[key] = _day(value)
        else:
            rec[key] = value.item() if hasattr(value, "item") else value
    return rec


def events_doubt(records: list[Record], stored: int, confirmed: bool) -> str | None:
    """Why a fresh list of events may not replace the `stored` number of them (None: it may).
    `confirmed`: an answer shorter than that was asked of a second server too."""
    if len(records) < stored and not confirmed:
        return (f"events unconfirmed: {len(records) or 'none'} given where {stored} are stored, "
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


def _results(future: concurrent.futures.Future[dict[str, Any]], missing: str
             ) -> tuple[dict[str, Any], str]:
    """What a batch fetched by security, and the reason to give for one it left out."""
    try:
        return future.result(), missing
    except Exception as exc:
        return {}, f"{type(exc).__name__}: {exc}"


class Tables:
    """Fetches lists, quotes, ex-rights records and finance snapshots over an `HQ`."""

    def __init__(self, hq: HQ) -> None:
        self._hq = hq
        self._pool = concurrent.futures.ThreadPoolExecutor(TABLE_THREADS)

    def close(self) -> None:
        self._pool.shutdown(wait=True, cancel_futures=True)

    def security_list(self, market: int, known: int | None = None) -> list[Record]:
        """The security list of `market`; `known`, the number of securities the store last
        listed there, makes `HQ` doubt a much shorter answer."""
        frame = self._hq.securities(MARKET_NAMES[market], known=known)
        return [{"code": str(r.code), "name": str(r.name), "volunit": int(r.volunit),
                 "decimal_point": int(r.decimal_point), "pre_close": float(r.pre_close)}
                for r in frame.itertuples()]

    def quotes(self, symbols: Sequence[Symbol]) -> dict[Symbol, tuple[float, float]]:
        """(previous close in yuan, today's volume) of each security that has a quote. The
        quote's previous close is the reference price on an ex-date, exact to the cent (the
        security list's is packed into a lossy 32-bit form)."""
        try:
            frame = self._hq.quotes(symbols)
        except Exception:  # no quotes: every security is asked for its bars and records
            return {}
        by_name = {s.canonical: s for s in symbols}
        return {by_name[n]: (float(c), float(v)) for n, c, v in
                zip(frame.index, frame["last_close"], frame["vol"]) if n in by_name}

    def confirmed(self) -> bool:
        """Whether `HQ` has a second server to confirm an empty answer with."""
        return sum(state != "set aside" for _, state, _ in self._hq.servers) > 1

    def request(self, symbols: Sequence[Symbol], events: Collection[str] = (),
                finances: Collection[str] = ()) -> Callable[[], dict[Symbol, Fetched]]:
        """Starts fetching the ex-rights events and finance records of `symbols`; `events`
        maps the securities that have stored events to their number, `finances` names those
        with a stored finance record. The returned callable waits for them."""
        # One batch each: a request per security would wait its turn behind every bars
        # request queued meanwhile.
        stored = dict(events) if isinstance(events, dict) else dict.fromkeys(events, 1)
        had = {s: stored[s.canonical] for s in symbols if s.canonical in stored}
        xdxr = self._pool.submit(self._hq.xdxr_many, symbols, had_records=had)
        fins = self._pool.submit(self._hq.finance_many, symbols,
                                 had_records=[s for s in symbols if s.canonical in finances])

        def collect() -> dict[Symbol, Fetched]:
            by_name, failure = _results(xdxr, "no ex-rights records")
            by_fin, fin_failure = _results(fins, "no answer")
            confirmed = self.confirmed()
            out: dict[Symbol, Fetched] = {}
            for s in symbols:
                got = out[s] = Fetched()
                frame = by_name.get(s.canonical)
                if frame is None:
                    got.parts["xdxr"] = f"ex-rights events: {failure}"
                else:
                    records = xdxr_records(frame)
                    doubt = events_doubt(records, stored.get(s.canonical, 0), confirmed)
                    got.parts["xdxr"] = doubt
                    got.xdxr = records if doubt is None else None
                frame = by_fin.get(s.canonical)
                if frame is None:
                    got.parts["finance"] = f"finance: {fin_failure}"
                else:
                    record = finance_record(frame, s)
                    doubt = finance_doubt(record, s.canonical in finances, confirmed)
                    got.parts["finance"] = doubt
                    got.finance = record if doubt is None else None
            return out
        return collect

