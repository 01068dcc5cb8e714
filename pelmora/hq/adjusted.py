"""Adjusted bars for `HQ.bars` and `HQ.bars_many`: the raw bars and the ex-rights events
`HQ` fetched, mapped by `pelmora.adjust`. Minute bars are adjusted by their day. A raw bar
longer than a day that spans an ex-date cannot be adjusted by one map, so such bars are built
from adjusted daily bars covering the same periods, stamped as the server stamps its own.

An adjusted price does not depend on the window asked for: the events are measured on the
daily bars `pelmora.adjust.daily_needs` names (the close before each ex-date that counts, the
latest bar), fetched back from the latest as far as the earliest of them and no further."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ..limits import BAR_PAGE, MAX_BARS
from ..periods import Period, to_period
from ..symbols import parse_symbol
from .bounds import bar_bounds
from .raw_bars import RawBars

if TYPE_CHECKING:
    import pandas as pd

    from ..adjust import DailyNeeds

DAY = to_period("day")
# How far before an ex-date the daily bars are fetched from: a month reaches the close before
# it across the longest holidays. A longer suspension is found, and fetched further back.
MARGIN_DAYS = 31


def period_start(times: Any, period: Period) -> Any:
    """The first day of the period (week from Monday, month, quarter, year) of each time."""
    import pandas as pd
    t = pd.DatetimeIndex(times).normalize()
    if period.name == "week":
        return t - pd.to_timedelta(t.day_of_week, unit="D")
    freq = {"month": "M", "quarter": "Q", "year": "Y"}[period.name]
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
                 as_of: Any, period: Period, reference: Any) -> pd.DataFrame:
    """The bars of `raw` (one security, or several by a ``symbol`` column) rebuilt from the
    adjusted `daily` bars (measured on `reference`): the periods of `raw`, with its stamps."""
    import pandas as pd
    from ..adjust import adjust, resample_daily
    built = resample_daily(adjust(daily, events, method, as_of=as_of, daily=reference),
                           period.name)
    if "symbol" in raw.columns:
        keys = pd.MultiIndex.from_arrays([raw["symbol"].astype(str), raw.index])
        have = pd.MultiIndex.from_arrays([built["symbol"].astype(str), built.index])
        built = built[have.isin(keys)]
        built = built.assign(symbol=pd.Categorical(built["symbol"].astype(str),
                                                   categories=raw["symbol"].cat.categories))
    else:
        built = built[built.index.isin(raw.index)]
    return built[list(raw.columns)]


def daily_start(raw: pd.DataFrame, period: Period) -> Any:
    return period_start(raw.index[:1], period)[0]


def _reaches(daily: pd.DataFrame, since: Any) -> bool:
    return since is None or (len(daily) > 0 and daily.index[0] < since)


def _per_symbol(frame: pd.DataFrame, names: list[str]) -> dict[str, pd.DataFrame]:
    groups = dict(tuple(frame.groupby(frame["symbol"].astype(str), sort=False)))
    empty = frame.iloc[:0].drop(columns="symbol")
    return {n: groups[n].drop(columns="symbol") if n in groups else empty for n in names}


def fetch_daily(source: RawBars, needs: dict[str, DailyNeeds], begin: Any = None
                ) -> dict[str, pd.DataFrame]:
    """Daily bars of the securities of `needs`, to the latest: from `begin` for every one
    (None: only as `needs` asks), and back to the last bar before each one's `since`, or to its
    first bar. A security that needs only its latest bar gets that one. `source` is quiet:
    what falls short here, the caller has said of its own bars."""
    import pandas as pd
    margin = pd.Timedelta(days=MARGIN_DAYS)
    walked = [n for n, need in needs.items() if begin is not None or need.since is not None]
    latest = [n for n, need in needs.items() if n not in walked and need.latest]
    out: dict[str, pd.DataFrame] = {}
    if walked:
        starts = [pd.Timestamp(begin)] if begin is not None else []
        starts += [needs[n].since - margin for n in walked if needs[n].since is not None]
        count, lo, hi = bar_bounds(None, min(starts), None)
        out.update(_per_symbol(source.many(walked, DAY, count, lo, hi, "raise", None), walked))
        for name in walked:
            out[name] = _back_to(source, name, out[name], needs[name].since)
    if latest:
        out.update(_per_symbol(source.many(latest, DAY, 1, None, None, "raise", None), latest))
    return out


def _back_to(source: RawBars, name: str, daily: pd.DataFrame, since: Any) -> pd.DataFrame:
    """`daily` (the latest bars of a security) reaching back before `since`: a suspension of
    more than the margin before an ex-date, or a history that starts after it, needs more
    (the latter is only known once the pages run out)."""
    count = len(daily)
    while not _reaches(daily, since) and count < MAX_BARS:
        count = min(2 * count + BAR_PAGE, MAX_BARS)
        daily = source.one(parse_symbol(name), DAY, count, None, None, None)
        if len(daily) < count:  # the whole history
            break
    return daily


def _reference(raw: pd.DataFrame, period: Period, need: DailyNeeds, to_latest: bool) -> bool:
    """Whether `raw` can measure its own events: daily bars that reach back before `since` and,
    when an event after them counts, up to the latest bar (`to_latest`: fetched without an
    end)."""
    return period.name == "day" and _reaches(raw, need.since) and (to_latest or not need.latest)


def bars(raw: pd.DataFrame, events: pd.DataFrame, name: str, period: Period, end: Any,
         method: str, as_of: Any, source: RawBars) -> pd.DataFrame:
    """The bars of one security `name` (`raw`, not empty) adjusted by `method` for its
    `events`; the daily bars that measure them come from `source` (quiet)."""
    import pandas as pd
    from ..adjust import adjust, daily_needs
    if period.longer:
        begin = daily_start(raw, period)
        need = daily_needs(pd.DatetimeIndex([begin, raw.index[-1]]), events, method,
                           as_of=as_of)
        daily = fetch_daily(source, {name: need}, begin)[name]
        window = daily[(daily.index >= begin) & (daily.index <= raw.index[-1])]
        return rebuild_long(raw, window, events, method, as_of, period, daily)
    need = daily_needs(raw.index, events, method, as_of=as_of)
    reference = None
    if not _reference(raw, period, need, end is None) and (need.since is not None
                                                            or need.latest):
        reference = fetch_daily(source, {name: need})[name]
    return adjust(raw, events, method, as_of=as_of, daily=reference)


def bars_many(raw: pd.DataFrame, per_events: dict[str, pd.DataFrame], period: Period, end: Any,
              method: str, as_of: Any, source: RawBars) -> pd.DataFrame:
    """The long frame of `HQ.bars_many` (`raw`, not empty) adjusted by `method` for the events
    of each security (`per_events`, by name); the daily bars that measure them come from
    `source` (quiet)."""
    import pandas as pd
    from ..adjust import adjust, daily_needs
    names = [str(s) for s in raw["symbol"].cat.categories]
    events = events_long(per_events)
    own = {n: f for n, f in _per_symbol(raw, names).items() if len(f)}
    empty = events.iloc[:0]
    if period.longer:
        begins = {n: daily_start(f, period) for n, f in own.items()}
        needs = {n: daily_needs(pd.DatetimeIndex([begins[n], f.index[-1]]),
                                per_events.get(n, empty), method, as_of=as_of)
                 for n, f in own.items()}
        daily = fetch_daily(source, needs, min(begins.values()))
        window = {n: d[(d.index >= begins[n]) & (d.index <= own[n].index[-1])]
                  for n, d in daily.items()}
        out = rebuild_long(raw, bars_long(window), events, method, as_of, period,
                           bars_long(daily))
    else:
        needs = {n: daily_needs(f.index, per_events.get(n, empty), method, as_of=as_of)
                 for n, f in own.items()}
        fetch = {n: need for n, need in needs.items() if (need.since is not None or need.latest)
                 and not _reference(own[n], period, need, end is None)}
        reference = bars_long(fetch_daily(source, fetch)) if fetch else None
        out = adjust(raw, events, method, as_of=as_of, daily=reference)
    out.attrs = dict(raw.attrs)
    return out
