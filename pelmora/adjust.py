"""Adjusted prices: the price maps of ex-rights events, and bars adjusted by them. The events
are frames of `pelmora.events` (`xdxr_frame`), or the records it makes them from.

An ex-rights event changes what one share is: cash paid out (D a share), bonus and
transferred shares (S new shares a share), rights shares (R a share, bought at P each). On the
ex-date the exchange quotes the previous close p as the reference price

    (p - D + P*R) / (1 + S + R)

so a price before the event maps to the level after it by ``a*p + b`` with ``a = 1/(1+S+R)``
and ``b = (P*R - D)/(1+S+R)``. The maps compose, so every bar's adjusted price is ``A*raw + B``.

Methods (the ``method`` argument of `adjust`):

- ``"qfq"``: bars before each event are mapped forward through it and every later event, so the
  latest prices stay raw. This is the method of the TDX desktop client and most Chinese
  terminals; old prices can come out negative when the cash paid since exceeds them.
- ``"hfq"``: bars after each event are mapped back through the inverse maps of it and every
  earlier event, so the first prices stay raw (the listing level when the bars start there).
- ``"qfq-ratio"`` / ``"hfq-ratio"``: proportional (total-return) factors, never negative: each
  event's factor is its reference price over the close of the last bar before the ex-date, and
  the factors multiply.

Across an ex-date the adjusted closes are continuous: the adjusted previous close is what the
ex-day's own map makes of the reference price. With the proportional methods the ex-day's
adjusted return therefore equals the raw return from the reference price exactly; with the
affine ones the adjusted change is A times the raw change from the reference price, so the
returns agree exactly only while no later cash dividend (B = 0) is mapped in.

Rules that hold for every method:

- Events compose by date, never by matching a trading day: an ex-date on a weekend, a holiday
  or inside a suspension takes effect at the first bar on or after it.
- Records of one date form one event, their D, S, R and P*R added.
- An event dated after the last bar (announced, not yet effective) is ignored; so is one after
  ``as_of``, which anchors the adjustment at a past date as a backtest standing there saw it.
- Events before the first bar still count for ``"hfq"`` (the listing level), but they have no
  close in the bars to measure a proportional factor against, so they count 1 there.
- Category 1 (cash, bonus, rights) and category 11 (a share consolidation or split) change
  prices. ``suogu`` of category 11 is read as the shares after per share before (0.1 for a
  ten-into-one consolidation, 2 for a one-into-two split), dividing prices by it; on a date with
  both, the consolidation applies after the distribution. Category 12 consolidates only
  non-tradable shares and the warrant distributions (13, 14) carry no price the reference could
  use, so these and the share-count categories leave prices unchanged.
- Intraday bars are adjusted by their date. Longer bars are built from adjusted daily bars by
  `resample_daily`, since a raw weekly bar spanning an ex-date cannot be adjusted by one map.
- Volumes are unchanged unless asked; nothing is rounded unless asked, and then half-up to the
  cent as ``Decimal(repr(x)).quantize(Decimal("0.01"), ROUND_HALF_UP)`` does.
"""
from __future__ import annotations

from typing import Any, Mapping, NamedTuple, Optional

import numpy as np
import numpy.typing as npt
import pandas as pd  # type: ignore[import-untyped,unused-ignore]

from . import records
from .events import SINGLE_KEYS as SINGLE_KEYS, single_decimal as single_decimal
from .events import xdxr_frame as xdxr_frame
# The events' frames, also importable from here where they used to be made.
from .events import finance_frame as finance_frame, xdxr_columns_frame as xdxr_columns_frame
from .methods import METHODS as METHODS, check_method as check_method

PRICE_COLUMNS = ("open", "high", "low", "close")

# Value keys of the ex-rights records by category group, in record order; a record fills only
# the keys of its category.
DISTRIBUTION_KEYS = records.XDXR_DIVIDEND
CONSOLIDATION_KEYS = records.XDXR_CONSOLIDATION
WARRANT_KEYS = records.XDXR_WARRANT
CAPITAL_KEYS = records.XDXR_SHARES
VALUE_KEYS = records.XDXR_VALUES

DISTRIBUTION, CONSOLIDATION = 1, 11

FACTOR_COLUMNS = ("bar", "cash", "bonus", "rights", "rights_cost", "split", "a", "b",
                  "qfq_a", "qfq_b", "hfq_a", "hfq_b", "prev_close", "ref_price", "ratio",
                  "qfq_ratio", "hfq_ratio")

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]
Frame = Any  # a pandas DataFrame; pandas ships no type information of its own


def reference_price(prev_close: float, fenhong: float = 0.0, songzhuangu: float = 0.0,
                    peigu: float = 0.0, peigujia: float = 0.0) -> float:
    """The exchange's ex-rights reference price from the previous close, with the amounts per 10
    shares as the records carry them (``peigujia`` per share). Not rounded."""
    d, s, r = fenhong / 10, songzhuangu / 10, peigu / 10
    return (prev_close - d + peigujia * r) / (1 + s + r)


def _days(index: Any) -> IntArray:
    """Day numbers (since 1970-01-01) of datetimes of any resolution; NaT gives the least int64."""
    values = np.asarray(pd.DatetimeIndex(index).values).astype("datetime64[D]")
    return values.astype(np.int64)


def _day_of(value: Any) -> Optional[int]:
    if value is None:
        return None
    from .dates import bound
    day = bound(value, "as_of", False)
    assert day is not None
    return int(day.astype("M8[D]").astype(np.int64))


class _Records(NamedTuple):
    """The records that change prices, as columns: day, D, S, R, P*R per share and the split
    (zero amounts and a split of 1 where they do not apply)."""
    day: IntArray
    cash: FloatArray
    bonus: FloatArray
    rights: FloatArray
    rights_cost: FloatArray
    split: FloatArray

    def take(self, positions: Any) -> "_Records":
        return _Records(*(column[positions] for column in self))


def _records(events: Any) -> tuple[_Records, Frame, IntArray]:
    """The price-changing records of `events` (a frame of `xdxr_frame`, or records), the frame
    itself and the rows of the frame they come from."""
    frame = events if isinstance(events, pd.DataFrame) else xdxr_frame(events)
    n = len(frame)

    def column(name: str) -> FloatArray:
        if name not in frame.columns:
            return np.zeros(n)
        values: FloatArray = frame[name].to_numpy(dtype=np.float64, na_value=np.nan)
        return values

    category = frame["category"].to_numpy(dtype=np.int64) if n else np.zeros(0, np.int64)
    records, rows = _price_records(_days(frame.index), category, column)
    return records, frame, rows


def _price_records(day: IntArray, category: IntArray, column: Any) -> tuple[_Records, IntArray]:
    """The price-changing records among records of day numbers (NaT for no date) and
    categories whose values `column(key)` gives (NaN where a record has none), and their rows."""
    def value(name: str) -> FloatArray:
        return np.asarray(np.nan_to_num(column(name)), dtype=np.float64)

    dist = (category == DISTRIBUTION) & (day != _NAT)
    suogu = value("suogu")
    cons = (category == CONSOLIDATION) & (day != _NAT) & (suogu > 0)
    rights = np.where(dist, value("peigu") / 10, 0.0)
    records = _Records(
        day=day, cash=np.where(dist, value("fenhong") / 10, 0.0),
        bonus=np.where(dist, value("songzhuangu") / 10, 0.0), rights=rights,
        rights_cost=rights * np.where(dist, value("peigujia"), 0.0),
        split=np.where(cons, suogu, 1.0))
    rows = np.flatnonzero(dist | cons)
    return records.take(rows), rows


def adjust_prices(days: IntArray, prices: FloatArray, event_days: IntArray,
                  category: IntArray, values: Mapping[str, FloatArray], method: str,
                  daily: Optional[tuple[IntArray, FloatArray]] = None) -> FloatArray:
    """`adjust` for one security's bars given as arrays, without frames: bar day numbers (since
    1970-01-01, ascending), prices [k, n] (the close last), the records' day numbers (NaT
    where none), categories and values by key (as `xdxr_frame` makes them: NaN where none,
    single-precision ones as their shortest decimal). `daily`: the day numbers (ascending) and
    closes of daily bars to measure the events on, as `adjust`'s `daily`. Returns the
    adjusted prices."""
    check_method(method)
    records, _ = _price_records(event_days, category,
                                lambda key: values.get(key, np.zeros(len(category))))
    group = np.zeros(len(days), np.int64)
    keys = _keys(group, days)
    on_days, close = (days, prices[-1]) if daily is None else daily
    on_group = np.zeros(len(on_days), np.int64)
    tables = _tables(records, np.zeros(len(records.day), np.int64), 1, on_group, on_days,
                     _keys(on_group, on_days), np.arange(len(on_days)), close, None)
    mul, off, _ = _bar_maps(tables, group, keys, method)
    out: FloatArray = prices * mul + off
    return out


_NAT = np.iinfo(np.int64).min


# Events and bars of many securities are matched by one sorted key: the security's number in the
# high 32 bits, the day number (offset to be non-negative) in the low ones.
_SHIFT = np.int64(1 << 32)
_OFFSET = np.int64(1 << 31)


def _keys(group: IntArray, day: IntArray) -> IntArray:
    return group * _SHIFT + (day + _OFFSET)


class _Tables(NamedTuple):
    """The events of every security: flat arrays per event (ascending by security, then day),
    and per security rows of the cumulative maps, padded with identity events to the most
    events any security has. Entry k of a ``q*`` row applies to bars after k events of that
    security (the last entry, after all, is the identity); entry k of an ``h*`` row likewise
    (the first entry is the identity). See `factors` for the meaning of each."""
    key: IntArray
    start: IntArray        # index of each security's first event in the flat arrays
    first: IntArray        # index into the bar order of the bar where each event takes effect
    cash: FloatArray
    bonus: FloatArray
    rights: FloatArray
    rights_cost: FloatArray
    split: FloatArray
    a: FloatArray
    b: FloatArray
    prev_close: FloatArray
    ref_price: FloatArray
    qa: FloatArray
    qb: FloatArray
    ha: FloatArray
    hb: FloatArray
    qr: FloatArray
    hr: FloatArray
    qv: FloatArray
    hv: FloatArray


def _tables(records: _Records, rec_group: IntArray, groups: int, bar_group: IntArray,
            bar_days: IntArray, bar_keys: IntArray, order: IntArray, close: FloatArray,
            as_of: Optional[int]) -> _Tables:
    """The events of `groups` securities; bars are given by security number, day, key and
    close, and `order` sorts them by security, then time."""
    last = np.full(groups, _NAT)
    np.maximum.at(last, bar_group, bar_days)
    limit = last[rec_group] if as_of is None else np.minimum(last[rec_group], as_of)
    keep = (rec_group >= 0) & (records.day <= limit)
    key, inverse = np.unique(_keys(rec_group[keep], records.day[keep]), return_inverse=True)
    n = len(key)

    def total(values: FloatArray) -> FloatArray:
        return np.bincount(inverse, weights=values[keep], minlength=n).astype(np.float64)

    cash, bonus, rights = total(records.cash), total(records.bonus), total(records.rights)
    rights_cost, split = total(records.rights_cost), np.ones(n)
    np.multiply.at(split, inverse, records.split[keep])
    a = 1.0 / ((1.0 + bonus + rights) * split)
    b = (rights_cost - cash) * a

    group = key // _SHIFT
    count = np.bincount(group, minlength=groups)
    start = np.concatenate([np.zeros(1, np.int64), np.cumsum(count)[:-1]])
    rank = np.arange(n) - start[group]
    width = int(count.max()) if n else 0

    def pad(values: Any, fill: float) -> FloatArray:
        out = np.full((groups, width), fill)
        out[group, rank] = values
        return out

    # Securities have few events (tens), so these loops run per event rank, across all
    # securities at once; the bars are mapped afterwards by indexing.
    pa, pb = pad(a, 1.0), pad(b, 0.0)
    qa, qb = np.ones((groups, width + 1)), np.zeros((groups, width + 1))
    ha, hb = np.ones((groups, width + 1)), np.zeros((groups, width + 1))
    for k in range(width - 1, -1, -1):
        qa[:, k] = qa[:, k + 1] * pa[:, k]
        qb[:, k] = qa[:, k + 1] * pb[:, k] + qb[:, k + 1]
    for k in range(width):
        ha[:, k + 1] = ha[:, k] / pa[:, k]
        hb[:, k + 1] = hb[:, k] - ha[:, k] * pb[:, k] / pa[:, k]

    first = np.searchsorted(bar_keys[order], key, side="left")
    before = order[np.maximum(first - 1, 0)] if len(order) else first
    has_prev = (first > 0) & (bar_group[before] == group) if len(order) else first > 0
    pfirst, pclose = pad(first, -1.0), pad(np.where(has_prev, close[before], np.nan), np.nan)
    # Two ex-days inside one suspension reach the same bar: the second starts from the first's
    # reference price, not from the close again.
    prev, ref = np.full((groups, width), np.nan), np.full((groups, width), np.nan)
    for k in range(width):
        base = pclose[:, k]
        if k:
            chained = (pfirst[:, k] >= 0) & (pfirst[:, k] == pfirst[:, k - 1])
            base = np.where(chained & ~np.isnan(ref[:, k - 1]), ref[:, k - 1], base)
        prev[:, k], ref[:, k] = base, pa[:, k] * base + pb[:, k]
    unit = ref / prev
    unit[np.isnan(unit)] = 1.0
    growth = pad((1.0 + bonus + rights) * split, 1.0)
    ones = np.ones((groups, 1))
    return _Tables(
        key, start, first, cash, bonus, rights, rights_cost, split, a, b,
        prev[group, rank], ref[group, rank], qa, qb, ha, hb,
        np.hstack([np.cumprod(unit[:, ::-1], axis=1)[:, ::-1], ones]),
        np.hstack([ones, np.cumprod(1.0 / unit, axis=1)]),
        np.hstack([np.cumprod(growth[:, ::-1], axis=1)[:, ::-1], ones]),
        np.hstack([ones, 1.0 / np.cumprod(growth, axis=1)]))


def _bar_times(bars: Frame) -> Any:
    if isinstance(bars.index, pd.DatetimeIndex):
        return bars.index
    for name in ("datetime", "date"):
        if name in bars.columns:
            return pd.DatetimeIndex(bars[name])
    raise ValueError("bars need a DatetimeIndex or a 'datetime' or 'date' column")


class _Rows(NamedTuple):
    """Bars the event tables are measured on: each one's security number, day number, key and
    close, and their order by security, then time."""
    group: IntArray
    days: IntArray
    keys: IntArray
    order: IntArray
    close: FloatArray

    @staticmethod
    def of(times: Any, group: IntArray, close: FloatArray) -> "_Rows":
        days = _days(times)
        ns = np.asarray(times.values).astype("datetime64[ns]").astype(np.int64)
        # Bars usually come sorted: check that in one pass before paying for a sort.
        step = np.diff(group)
        if (step >= 0).all() and ((step > 0) | (np.diff(ns) >= 0)).all():
            order = np.arange(len(group))
        else:
            order = np.lexsort((ns, group))
        return _Rows(group, days, _keys(group, days), order, close)


def _daily_rows(daily: Frame, names: Any, own: _Rows, times: Any, own_close: FloatArray
                ) -> _Rows:
    """The rows of `daily` for the securities it holds (all of it for one security, `names`
    None), and the bars' own rows for the others."""
    close = daily["close"].to_numpy(dtype=np.float64)
    if names is None:
        return _Rows.of(_bar_times(daily), np.zeros(len(daily), np.int64), close)
    if "symbol" not in daily.columns:
        raise ValueError("daily bars of several securities need a 'symbol' column")
    group = names.get_indexer(daily["symbol"].astype(str).to_numpy())
    held = group >= 0
    mine = ~np.isin(own.group, group[held])
    group = np.concatenate([group[held], own.group[mine]])
    stamps = pd.DatetimeIndex(np.concatenate([np.asarray(_bar_times(daily).values)[held],
                                              np.asarray(times.values)[mine]]))
    return _Rows.of(stamps, group, np.concatenate([close[held], own_close[mine]]))


def _prepare(bars: Frame, events: Any, as_of: Any, daily: Frame = None
             ) -> tuple[_Tables, IntArray, IntArray, Any, IntArray, Any]:
    """The event tables of `bars` (one security, or several by their ``symbol`` column), with
    each bar's security number and key, the bar times, their order by security and time, and
    the names of the securities (None for one). The tables are measured on `daily` for the
    securities it holds (see `adjust`)."""
    times = _bar_times(bars)
    records, frame, rows = _records(events)
    several = "symbol" in bars.columns and ("symbol" in frame.columns
                                            or bars["symbol"].nunique(dropna=False) > 1)
    if several:
        if "symbol" not in frame.columns:
            raise ValueError("bars of several securities need events with a 'symbol' column")
        symbols = pd.Categorical(bars["symbol"])
        if (symbols.codes < 0).any():
            raise ValueError("bars without a symbol")
        names = pd.Index(symbols.categories.astype(str))
        bar_group = symbols.codes.astype(np.int64)
        rec_group = names.get_indexer(frame["symbol"].astype(str).to_numpy()[rows])
        groups = len(names)
    else:
        bar_group = np.zeros(len(bars), np.int64)
        rec_group = np.zeros(len(rows), np.int64)
        groups, names = 1, None
    close = bars["close"].to_numpy(dtype=np.float64)
    own = _Rows.of(times, bar_group, close)
    on = own if daily is None else _daily_rows(daily, names, own, times, close)
    tables = _tables(records, rec_group.astype(np.int64), groups, *on, _day_of(as_of))
    return tables, bar_group, own.keys, times, own.order, names


def factors(events: Any, bars: Frame, *, as_of: Any = None) -> Frame:
    """The price maps of the events that affect `bars`, one row per ex-date (index ``date``),
    for users who store them and adjust by themselves.

    `events`: a frame of `xdxr_frame` or the records of ``get_xdxr_info``. Columns:

    - ``bar``: the first bar on or after the ex-date, where the event takes effect;
    - ``cash``, ``bonus``, ``rights``, ``rights_cost``: D, S, R and P*R per share, summed over
      the date's records; ``split``: the shares after per share before of category 11;
    - ``a``, ``b``: the event's own map, reference price = a * previous close + b;
    - ``qfq_a``, ``qfq_b``: the map of forward adjustment for bars before the ex-date (and on
      or after the previous one): this event composed with every later one;
    - ``hfq_a``, ``hfq_b``: the map of backward adjustment for bars from the ex-date on (up to
      the next): the inverse maps of this and every earlier event;
    - ``prev_close``, ``ref_price``, ``ratio``: the close of the last bar before the ex-date,
      its reference price and their quotient (NaN when no bar precedes the event; for the
      second of two ex-dates before the same bar, the first's reference price stands in for
      the close);
    - ``qfq_ratio``: the product of ``ratio`` of this and later events, the multiplier of bars
      before the ex-date; ``hfq_ratio``: the product of 1/``ratio`` of this and earlier events,
      the multiplier of bars from the ex-date on (an event without a bar before it counts 1).

    Events dated after the last bar, or after `as_of`, are left out. Bars of several
    securities (a ``symbol`` column, events with one too) give one table with a ``symbol``
    column first, sorted by symbol, then date.

    Units: see the units table in the docs (docs/units.md).
    """
    tables, _, _, times, order, names = _prepare(bars, events, as_of)
    n = len(tables.key)
    group = tables.key // _SHIFT
    rank = np.arange(n) - tables.start[group]
    columns: dict[str, Any] = {} if names is None else {"symbol": pd.Categorical.from_codes(
        group, categories=names)}
    columns["bar"] = times[order[tables.first]] if n else times[:0]
    columns.update({name: getattr(tables, name) for name in FACTOR_COLUMNS[1:8]})
    columns.update(qfq_a=tables.qa[group, rank], qfq_b=tables.qb[group, rank],
                   hfq_a=tables.ha[group, rank + 1], hfq_b=tables.hb[group, rank + 1],
                   prev_close=tables.prev_close, ref_price=tables.ref_price,
                   ratio=tables.ref_price / tables.prev_close, qfq_ratio=tables.qr[group, rank],
                   hfq_ratio=tables.hr[group, rank + 1])
    day = (tables.key % _SHIFT - _OFFSET).astype("datetime64[D]").astype("datetime64[s]")
    return pd.DataFrame(columns, index=pd.DatetimeIndex(day, name="date"))


def _bar_maps(tables: _Tables, group: IntArray, keys: IntArray, method: str
              ) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Per bar: the price multiplier and offset of `method`, and the volume multiplier."""
    passed = np.searchsorted(tables.key, keys, side="right") - tables.start[group]
    if method == "qfq":
        return tables.qa[group, passed], tables.qb[group, passed], tables.qv[group, passed]
    if method == "hfq":
        return tables.ha[group, passed], tables.hb[group, passed], tables.hv[group, passed]
    mul = (tables.qr if method == "qfq-ratio" else tables.hr)[group, passed]
    # Proportional: price times volume keeps the money traded.
    return mul, np.zeros(len(mul)), 1.0 / mul


def round_half_up_cent(values: Any) -> Any:
    """Prices rounded half-up (away from zero) to the cent, as
    ``Decimal(repr(x)).quantize(Decimal("0.01"), ROUND_HALF_UP)`` rounds each, without going
    through text: x is at or above the decimal midpoint m exactly when x is at or above the
    double nearest m, which (2*lo + 1) / 200 computes correctly rounded. A scalar gives a
    scalar."""
    x = np.asarray(values, dtype=np.float64)
    mag = np.abs(x)
    lo = np.floor(mag * 100.0)
    mid = (2.0 * lo + 1.0) / 200.0
    cents = np.where(mag >= mid, lo + 1.0, lo)
    out = np.where(np.isfinite(x), np.copysign(cents / 100.0, x), x)
    return out[()] if out.ndim == 0 else out


def adjust(bars: Frame, events: Any, method: Optional[str], *, as_of: Any = None,
           volume: bool = False, round_to_cent: bool = False, daily: Frame = None) -> Frame:
    """`bars` with adjusted prices: a new frame of the same shape, index and columns.

    `bars`: a frame with a DatetimeIndex (or a ``datetime`` or ``date`` column) and the price
    columns ``open high low close``, in any order; when it has a ``symbol`` column (the long
    frame of several securities), `events` needs one too and each security is adjusted by its
    own (bars of a single symbol may go with events without one).
    `events`: a frame of `xdxr_frame` (or a stored one) or the records of ``get_xdxr_info``.
    `method`: ``"qfq"``, ``"hfq"``, ``"qfq-ratio"``, ``"hfq-ratio"`` (see the module), or None
    for the bars unchanged. `as_of`: ignore events after this date, so forward adjustment is
    anchored where a backtest standing on that date would see it. `volume`: also restate the
    ``volume`` column in adjusted units. `round_to_cent`: round prices half-up to the cent.

    `daily`: daily bars (with a ``symbol`` column for several securities) to measure the events
    on in place of `bars` themselves, for the securities it holds: each event's close before
    the ex-date and the last bar (after which events are ignored) are taken from them. With
    the daily bars `daily_needs` asks for, a window of bars (or minute bars) is adjusted as
    the whole daily history is, bar for bar.

    Units: see the units table in the docs (docs/units.md).
    """
    if method is None:
        return bars
    check_method(method)
    tables, group, keys, _, _, _ = _prepare(bars, events, as_of, daily)
    mul, off, vol = _bar_maps(tables, group, keys, method)
    out = bars.copy(deep=False)
    for col in PRICE_COLUMNS:
        if col in out.columns:
            price = out[col].to_numpy(dtype=np.float64) * mul + off
            out[col] = round_half_up_cent(price) if round_to_cent else price
    if volume and "volume" in out.columns:
        out["volume"] = out["volume"].to_numpy(dtype=np.float64) * vol
    return out


class DailyNeeds(NamedTuple):
    """What of a security's daily history adjusting a window of its bars depends on."""
    since: Any     # the earliest ex-date (a Timestamp) whose close before it counts, or None
    latest: bool   # whether an event after the window counts if it has taken effect


def daily_needs(times: Any, events: Any, method: str, *, as_of: Any = None) -> DailyNeeds:
    """What adjusting bars at `times` (one security's, of any period) by `method` needs of the
    security's daily bars beyond them, for the prices the whole daily history gives:

    - the proportional methods need the close before each ex-date whose factor reaches the
      bars: ``"qfq-ratio"`` those after the first bar's day, ``"hfq-ratio"`` those up to the
      last's. Given the daily bars from the last one before `since` on (or from the first,
      when none is older), every such close is among them, and so is the close an ex-date
      inside a suspension chains to;
    - forward adjustment counts an event after the last bar only once it has taken effect,
      which the latest daily bar tells (`latest`).

    Affine ``"hfq"`` needs nothing: its maps come from the records alone. Events after `as_of`
    are left out, as `adjust` leaves them out."""
    check_method(method)
    days = _days(times)
    days = days[days != _NAT]
    records, _, _ = _records(events)
    event_days, limit = records.day, _day_of(as_of)
    if limit is not None:
        event_days = event_days[event_days <= limit]
    if not len(days) or not len(event_days):
        return DailyNeeds(None, False)
    first, last = days.min(), days.max()
    forward = method.startswith("qfq")
    latest = forward and bool((event_days > last).any())
    if method == "qfq-ratio":
        counted = event_days[event_days > first]
    elif method == "hfq-ratio":
        counted = event_days[event_days <= last]
    else:
        counted = event_days[:0]
    since = None
    if len(counted):
        since = pd.Timestamp(np.datetime64(int(counted.min()), "D")).as_unit("s")
    return DailyNeeds(since, latest)


# ---------------------------------------------------------------------------- longer bars

RESAMPLE_PERIODS = ("week", "month", "quarter", "year")


def resample_daily(bars: Frame, period: str) -> Frame:
    """Week, month, quarter or year bars built from daily bars (adjusted or raw).

    Weeks run Monday to Sunday. A bar is stamped with the date and time of the last daily bar it
    holds, the period's last trading day in the bars given, so a week cut short by holidays ends
    on its real last session (the stamp of the HQ server's own week bars). Open is the first open,
    high the highest, low the lowest, close the last close, ``volume`` and ``amount`` the sums;
    other columns keep their last value. A ``symbol`` column keeps securities apart (sorted by
    symbol, then time). The bars must be daily: one a security and day.

    Units: see the units table in the docs (docs/units.md).
    """
    if period not in RESAMPLE_PERIODS:
        raise ValueError(f"invalid period {period!r}: expected one of "
                         f"{', '.join(RESAMPLE_PERIODS)}")
    times = _bar_times(bars)
    values = np.asarray(times.values)
    if period == "week":
        days = values.astype("datetime64[D]").astype(np.int64)
        key = days - (days + 3) % 7  # 1970-01-01 was a Thursday: weeks start on Monday
    else:
        unit = {"month": "M", "quarter": "M", "year": "Y"}[period]
        key = values.astype(f"datetime64[{unit}]").astype(np.int64)
        if period == "quarter":
            key //= 3
    frame = bars.reset_index(drop=True)
    frame.insert(0, "_t", times)
    frame["_k"] = key
    by = ["symbol", "_k"] if "symbol" in frame.columns else ["_k"]
    frame = frame.sort_values(by + ["_t"], kind="stable")
    rules = {c: "last" for c in frame.columns if c not in by}
    rules.update({c: r for c, r in (("open", "first"), ("high", "max"), ("low", "min"),
                                    ("close", "last"), ("volume", "sum"), ("amount", "sum"))
                  if c in frame.columns})
    out = frame.groupby(by, sort=True, observed=True).agg(rules).reset_index()
    if isinstance(bars.index, pd.DatetimeIndex):
        out = out.set_index("_t")
        out.index.name = bars.index.name
    else:
        out = out.drop(columns=["_t"])
    return out[list(bars.columns)]
