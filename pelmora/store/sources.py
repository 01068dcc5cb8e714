"""Security lists, quotes, ex-rights records and finance figures for a sync, from the `HQ`'s
pool, as the plain records the writer stores."""
from __future__ import annotations

import concurrent.futures
import math
from typing import TYPE_CHECKING, Any, Callable, Sequence

from ..symbols import MARKET_NAMES, Symbol

if TYPE_CHECKING:
    from ..hq import HQ

Record = dict[str, Any]
Fetched = tuple[list[Record] | None, Record | None, str | None]
TABLE_THREADS = 8                # batches of records fetched beside the bars at once


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

    def security_list(self, market: int) -> list[Record]:
        frame = self._hq.securities(MARKET_NAMES[market])
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

    def request(self, symbols: Sequence[Symbol], finance: bool = True
                ) -> Callable[[], dict[Symbol, Fetched]]:
        """Starts fetching the ex-rights records (and finance records) of `symbols`; the
        returned callable waits for them: (records, finance record, error) by security."""
        # One batch each: a request per security would wait its turn behind every bars
        # request queued meanwhile.
        events = self._pool.submit(self._hq.xdxr_many, symbols)
        fins = self._pool.submit(self._hq.finance_many, symbols) if finance else None

        def collect() -> dict[Symbol, Fetched]:
            by_name, failure = _results(events, "no ex-rights records")
            by_fin, fin_failure = _results(fins, "no answer") if fins is not None else ({}, "")
            out: dict[Symbol, Fetched] = {}
            for s in symbols:
                frame = by_name.get(s.canonical)
                if frame is None:
                    out[s] = (None, None, failure)
                    continue
                fin: Record | None = None
                if fins is not None:
                    fin_frame = by_fin.get(s.canonical)
                    if fin_frame is None:
                        out[s] = (None, None, f"finance: {fin_failure}")
                        continue
                    fin = finance_record(fin_frame, s)
                out[s] = (xdxr_records(frame), fin, None)
            return out
        return collect
