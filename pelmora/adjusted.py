"""Adjusted bars for `HQ.bars` and `HQ.bars_many`: raw bars and the ex-rights events fetched,
then mapped by `pelmora.adjust`. Minute bars are adjusted by their day. A raw bar longer than a
day that spans an ex-date cannot be adjusted by one map, so such bars are built from adjusted
daily bars covering the same periods, stamped as the server stamps its own.

An adjusted price does not depend on the window asked for: the events are measured on the
daily bars `pelmora.adjust.daily_needs` names (the close before each ex-date that counts, the
latest bar), fetched back from the latest as far as the earliest of them and no further."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .limits import BAR_PAGE, MAX_BARS
from .symbols import SymbolLike, parse_period, parse_symbol

if TYPE_CHECKING:
    import pandas as pd

    from .adjust import DailyNeeds
    from .hq import HQ

# Categories of bars longer than a day, and the period resample_daily builds them by.
LONG_PERIODS = {5: "week", 6: "month", 10: "quarter", 11: "year"}
DAY = 9
# How far before an ex-date the daily bars are fetched from: a month reaches the close before
# it across the longest holidays. A longer suspension is found, and fetched further back.
MARGIN_DAYS = 31


def check_method(method: str) -> None:
    from .adjust import METHODS
    if method not in METHODS:
        raise ValueError(f"invalid adjustment method {method!r}: expected one of "
                         f"{', '.join(METHODS)} or None")


def period_start(times: Any, category: int) -> Any:
    """The first day of the period (week from Monday, month, quarter, year) of each time."""
    import pandas as pd
    t = pd.DatetimeIndex(times).normalize()
    period = LONG_PERIODS[category]
    if period == "week":
        return t - pd.to_timedelta(t.day_of_week, unit="D")
    freq = {"month": "M", "quarter": "Q", "year": "Y"}[period]
    return t.to_period(freq).to_timestamp()


def events_long(per_symbol: dict[str, pd.DataFrame]) -> pd.DataFrame:
    """The events of several securities as one frame with a ``symbol`` column."""
    import numpy as np
    import pandas as pd
    parts = list(per_symbol.values())
    if not parts:
        return pd.DataFrame({"symbol": []})
    # Column by column: concat warns about the all-NaN value columns most securities have.
    columns = {c: np.concatenate([f[c].to_numpy() for f in parts]) for c in parts[0].columns}
    columns["symbol"] = np.repeat(list(per_symbol), [len(f) for f in parts])
    index = pd.DatetimeIndex(np.concatenate([f.index.to_numpy() for f in parts]), name="date")
    return pd.DataFrame(columns, index=index)


def bars_long(per_symbol: dict[str, pd.DataFrame]) -> pd.DataFrame:
    """Bars of several securities as one frame with a ``symbol`` column, in the given order."""
    import numpy as np
    import pandas as pd
    parts = [f for f in per_symbol.values() if len(f)]
    if not parts:  # concat warns of empty parts
        return pd.DataFrame({"close": [], "symbol": []}, index=pd.DatetimeIndex([]))
    symbols = np.repeat(list(per_symbol), [len(f) for f in per_symbol.values()])
    return pd.concat(parts).assign(symbol=symbols)


def rebuild_long(raw: pd.DataFrame, daily: pd.DataFrame, events: Any, method: str,
                 as_of: Any, category: int, reference: Any) -> pd.DataFrame:
    """The bars of `raw` (one security, or several by a ``symbol`` column) rebuilt from the
    adjusted `daily` bars (measured on `reference`): the periods of `raw`, with its stamps."""
    import pandas as pd
    from .adjust import adjust, resample_daily
    built = resample_daily(adjust(daily, events, method, as_of=as_of, daily=reference),
                           LONG_PERIODS[category])
    if "symbol" in raw.columns:
        keys = pd.MultiIndex.from_arrays([raw["symbol"].astype(str), raw.index])
        have = pd.MultiIndex.from_arrays([built["symbol"].astype(str), built.index])
        built = built[have.isin(keys)]
        built = built.assign(symbol=pd.Categorical(built["symbol"].astype(str),
                                                   categories=raw["symbol"].cat.categories))
    else:
        built = built[built.index.isin(raw.index)]
    return built[list(raw.columns)]


def daily_start(raw: pd.DataFrame, category: int) -> Any:
    return period_start(raw.index[:1], category)[0]


def _reaches(daily: pd.DataFrame, since: Any) -> bool:
    return since is None or (len(daily) > 0 and daily.index[0] < since)


def _per_symbol(frame: pd.DataFrame, names: list[str]) -> dict[str, pd.DataFrame]:
    groups = dict(tuple(frame.groupby(frame["symbol"].astype(str), sort=False)))
    empty = frame.iloc[:0].drop(columns="symbol")
    return {n: groups[n].drop(columns="symbol") if n in groups else empty for n in names}


def fetch_daily(hq: HQ, needs: dict[str, DailyNeeds], begin: Any = None
                ) -> dict[str, pd.DataFrame]:
    """Daily bars of the securities of `needs`, to the latest: from `begin` for every one
    (None: only as `needs` asks), and back to the last bar before each one's `since`, or to its
    first bar. A security that needs only its latest bar gets that one."""
    import pandas as pd
    quiet = hq._quietly()
    margin = pd.Timedelta(days=MARGIN_DAYS)
    walked = [n for n, need in needs.items() if begin is not None or need.since is not None]
    latest = [n for n, need in needs.items() if n not in walked and need.latest]
    out: dict[str, pd.DataFrame] = {}
    if walked:
        starts = [pd.Timestamp(begin)] if begin is not None else []
        starts += [needs[n].since - margin for n in walked if needs[n].since is not None]
        out.update(_per_symbol(quiet.bars_many(walked, "day", start=min(starts),
                                               errors="raise"), walked))
        for name in walked:
            out[name] = _back_to(quiet, name, out[name], needs[name].since)
    if latest:
        out.update(_per_symbol(quiet.bars_many(latest, "day", count=1, errors="raise"),
                               latest))
    return out


def _back_to(quiet: HQ, name: str, daily: pd.DataFrame, since: Any) -> pd.DataFrame:
    """`daily` (the latest bars of a security) reaching back before `since`: a suspension of
    more than the margin before an ex-date, or a history that starts after it, needs more
    (the latter is only known once the pages run out)."""
    count = len(daily)
    while not _reaches(daily, since) and count < MAX_BARS:
        count = min(2 * count + BAR_PAGE, MAX_BARS)
        daily = quiet.bars(name, "day", count=count)
        if len(daily) < count:  # the whole history
            break
    return daily


def _reference(raw: pd.DataFrame, category: int, need: DailyNeeds, to_latest: bool) -> bool:
    """Whether `raw` can measure its own events: daily bars that reach back before `since` and,
    when an event after them counts, up to the latest bar (`to_latest`: fetched without an
    end)."""
    return category == DAY and _reaches(raw, need.since) and (to_latest or not need.latest)


def bars(hq: HQ, symbol: SymbolLike, period: str | int, count: int | None, start: Any,
         end: Any, method: str, as_of: Any, progress: Any) -> pd.DataFrame:
    """`HQ.bars` adjusted by `method`."""
    import pandas as pd
    from .adjust import adjust, daily_needs
    check_method(method)
    sym, category = parse_symbol(symbol), parse_period(period)
    raw = hq.bars(sym, period, count, start, end, progress=progress)
    if raw.empty:
        return raw
    events = hq.xdxr(sym)
    name = sym.canonical
    if category in LONG_PERIODS:
        begin = daily_start(raw, category)
        need = daily_needs(pd.DatetimeIndex([begin, raw.index[-1]]), events, method,
                           as_of=as_of)
        daily = fetch_daily(hq, {name: need}, begin)[name]
        window = daily[(daily.index >= begin) & (daily.index <= raw.index[-1])]
        return rebuild_long(raw, window, events, method, as_of, category, daily)
    need = daily_needs(raw.index, events, method, as_of=as_of)
    reference = None
    if not _reference(raw, category, need, end is None) and (need.since is not None
                                                              or need.latest):
        reference = fetch_daily(hq, {name: need})[name]
    return adjust(raw, events, method, as_of=as_of, daily=reference)


def bars_many(hq: HQ, raw: pd.DataFrame, category: int, end: Any, method: str, as_of: Any
              ) -> pd.DataFrame:
    """The long frame of `HQ.bars_many`, adjusted by `method`."""
    import pandas as pd
    from .adjust import adjust, daily_needs
    names = [str(s) for s in raw["symbol"].cat.categories]
    per_events = hq.xdxr_many(names)
    events = events_long(per_events)
    own = {n: f for n, f in _per_symbol(raw, names).items() if len(f)}
    empty = events.iloc[:0]
    if category in LONG_PERIODS:
        begins = {n: daily_start(f, category) for n, f in own.items()}
        needs = {n: daily_needs(pd.DatetimeIndex([begins[n], f.index[-1]]),
                                per_events.get(n, empty), method, as_of=as_of)
                 for n, f in own.items()}
        daily = fetch_daily(hq, needs, min(begins.values()))
        window = {n: d[(d.index >= begins[n]) & (d.index <= own[n].index[-1])]
                  for n, d in daily.items()}
        out = rebuild_long(raw, bars_long(window), events, method, as_of, category,
                           bars_long(daily))
    else:
        needs = {n: daily_needs(f.index, per_events.get(n, empty), method, as_of=as_of)
                 for n, f in own.items()}
        fetch = {n: need for n, need in needs.items() if (need.since is not None or need.latest)
                 and not _reference(own[n], category, need, end is None)}
        reference = bars_long(fetch_daily(hq, fetch)) if fetch else None
        out = adjust(raw, events, method, as_of=as_of, daily=reference)
    out.attrs = dict(raw.attrs)
    return out
