"""Adjusted bars for `HQ.bars` and `HQ.bars_many`: raw bars and the ex-rights events fetched,
then mapped by `pelmora.adjust`. Minute bars are adjusted by their day. A raw bar longer than a
day that spans an ex-date cannot be adjusted by one map, so such bars are built from adjusted
daily bars covering the same periods, stamped as the server stamps its own."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .symbols import SymbolLike, parse_period, parse_symbol

if TYPE_CHECKING:
    import pandas as pd

    from .hq import HQ

# Categories of bars longer than a day, and the period resample_daily builds them by.
LONG_PERIODS = {5: "week", 6: "month", 10: "quarter", 11: "year"}


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


def rebuild_long(raw: pd.DataFrame, daily: pd.DataFrame, events: Any, method: str,
                 as_of: Any, category: int) -> pd.DataFrame:
    """The bars of `raw` (one security, or several by a ``symbol`` column) rebuilt from the
    adjusted `daily` bars: the periods of `raw`, with its stamps."""
    import pandas as pd
    from .adjust import adjust, resample_daily
    built = resample_daily(adjust(daily, events, method, as_of=as_of), LONG_PERIODS[category])
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


def bars(hq: HQ, symbol: SymbolLike, period: str | int, count: int | None, start: Any,
         end: Any, method: str, as_of: Any, progress: Any) -> pd.DataFrame:
    """`HQ.bars` adjusted by `method`."""
    from .adjust import adjust
    check_method(method)
    sym, category = parse_symbol(symbol), parse_period(period)
    raw = hq.bars(sym, period, count, start, end, progress=progress)
    events = hq.xdxr(sym)
    if category not in LONG_PERIODS or raw.empty:
        return adjust(raw, events, method, as_of=as_of)
    begin = daily_start(raw, category)
    daily = hq._quietly().bars(sym, "day", start=begin, end=end)
    return rebuild_long(raw, daily, events, method, as_of, category)


def bars_many(hq: HQ, raw: pd.DataFrame, category: int, end: Any, method: str, as_of: Any
              ) -> pd.DataFrame:
    """The long frame of `HQ.bars_many`, adjusted by `method`."""
    from .adjust import adjust
    names = [str(s) for s in raw["symbol"].cat.categories]
    events = events_long(hq.xdxr_many(names))
    if category not in LONG_PERIODS:
        out = adjust(raw, events, method, as_of=as_of)
    else:
        begin = daily_start(raw.sort_index(), category)
        daily = hq._quietly().bars_many(names, "day", start=begin, end=end)
        out = rebuild_long(raw, daily, events, method, as_of, category)
    out.attrs = dict(raw.attrs)
    return out
