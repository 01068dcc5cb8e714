"""Intraday series derived from day bars: 240 one-minute bars a day that open at the day's open,
touch its high and low, close at its close and share out its volume, each trading at its own
mean price; and the four
ticks of each minute.

`minute_bars` and `group` are the numpy form, which the minute series, the ticks and the
whole-market pass use; a page of bars comes from `page`, the same values from a compiled kernel
(pelmora.testing._minutes) that never holds the minutes of the days it spans.
"""
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _minutes
from .history import DayBars
from .noise import Keys, bits16, uniform

MINUTES_PER_DAY = 240
TICKS_PER_MINUTE = 4
# Minute of the day of each one-minute bar's stamp: 09:31 ... 11:30 and 13:01 ... 15:00.
MINUTE_STAMPS = np.concatenate([np.arange(9 * 60 + 31, 11 * 60 + 31),
                                np.arange(13 * 60 + 1, 15 * 60 + 1)]).astype(np.int64)

Ints = npt.NDArray[np.int64]
Floats = npt.NDArray[np.float64]
# Minute of the day of each tick of a day (its minute's start), shared by every day's ticks.
_TICK_TIMES = np.repeat(MINUTE_STAMPS - 1, TICKS_PER_MINUTE)
_TICK_TIMES.flags.writeable = False


class MinuteBars(NamedTuple):
    """(days, 240) matrices of the one-minute bars of some days."""
    day: Ints         # calendar index of each day (one per row)
    open: Ints
    high: Ints
    low: Ints
    close: Ints
    vol: Ints
    amount: Floats


def _per_minute(key: Keys) -> Keys:
    """A key per day row as a key per minute of those days."""
    return np.repeat(key, MINUTES_PER_DAY) if isinstance(key, np.ndarray) else key


def minute_bars(key: Keys, days: DayBars) -> MinuteBars:
    """The minutes of some days of one security (`key` its noise key), or of one day each of
    many securities (`key` a key per row)."""
    n = len(days.day)
    shape = (n, MINUTES_PER_DAY)
    j = np.tile(np.arange(MINUTES_PER_DAY), n)
    pos = np.repeat(days.day * MINUTES_PER_DAY, MINUTES_PER_DAY) + j
    o, h, lo, c = (x.astype(np.float64) for x in days[1:5])
    # Minutes (of 0..238) at which the close touches the high and the low, never the same.
    at_high = (uniform(key, 11, days.day) * 239).astype(np.int64)
    at_low = (uniform(key, 12, days.day) * 238).astype(np.int64)
    at_low = at_low + (at_low >= at_high)
    first = np.minimum(at_high, at_low)
    second = np.maximum(at_high, at_low)
    v1 = np.where(at_high < at_low, h, lo)
    v2 = np.where(at_high < at_low, lo, h)
    # The close runs straight through three stretches a day (open to the first touch, to the
    # second, to the close); spreading each stretch's ends over its minutes costs one pass.
    lengths = np.stack([first + 1, second - first, MINUTES_PER_DAY - 1 - second], axis=1).ravel()

    def spread(*ends: npt.NDArray[Any]) -> npt.NDArray[Any]:
        return np.repeat(np.stack(ends, axis=1).ravel(), lengths)
    x0 = spread(np.full(n, -1), first, second)
    span = spread(np.maximum(first + 1, 1), np.maximum(second - first, 1),
                  np.maximum(MINUTES_PER_DAY - 1 - second, 1))
    y0 = spread(o, v1, v2)
    rise = spread(v1 - o, v2 - v1, c - v2)
    s = (j - x0) / span
    bump = 4 * s * (1 - s)  # zero at the anchors
    u_noise, u_up, u_down, u_weight = bits16(_per_minute(key), 10, pos)
    noise = np.repeat(0.35 * (h - lo), MINUTES_PER_DAY) * (u_noise * (1 / 65536) - 0.5) * bump
    close = np.rint(y0 + rise * s + noise).reshape(shape)
    close = np.clip(close, lo[:, None], h[:, None], out=close).astype(np.int64)
    opened = np.concatenate([days.open[:, None], close[:, :-1]], axis=1)
    ticks = np.maximum(1, np.rint(c * 0.0006)).astype(np.int64)[:, None] + 1
    # The draws are multiples of 1/65536, so scaling them in integers truncates alike.
    up = (u_up.reshape(shape) * ticks) >> 16
    down = (u_down.reshape(shape) * ticks) >> 16
    high = np.minimum(np.maximum(opened, close) + up, days.high[:, None])
    low = np.maximum(np.minimum(opened, close) - down, days.low[:, None])
    weight = 0.5 + u_weight.reshape(shape) * (1 / 65536)
    vol = np.floor(days.vol[:, None] * weight / weight.sum(axis=1, keepdims=True)).astype(np.int64)
    vol[:, -1] += days.vol - vol.sum(axis=1)
    # Each minute trades at its own mean price at the day's money per lot and tick, so its
    # amount over its volume lies within its range (the minutes' amounts add up to the day's
    # within the spread of their mean prices, not exactly).
    per = np.divide(days.amount, days.vol * (o + h + lo + c) / 4, out=np.zeros(n),
                    where=days.vol > 0)
    amount = vol * ((opened + high + low + close) / 4) * per[:, None]
    return MinuteBars(days.day, opened, high, low, close, vol, amount)


def group(m: MinuteBars, minutes: int) -> MinuteBars:
    """Bars of `minutes` minutes (5, 15, 30, 60) grouping the one-minute bars within each day."""
    if minutes == 1:
        return m
    n, k = len(m.day), MINUTES_PER_DAY // minutes

    def cut(x: npt.NDArray[Any]) -> npt.NDArray[Any]:
        return x.reshape(n, k, minutes)
    return MinuteBars(m.day, cut(m.open)[:, :, 0], cut(m.high).max(axis=2),
                      cut(m.low).min(axis=2), cut(m.close)[:, :, -1], cut(m.vol).sum(axis=2),
                      cut(m.amount).sum(axis=2))


def page(key: int, days: DayBars, minutes: int, skip: int, take: int) -> MinuteBars:
    """Bars [skip, skip + take) of `group(minute_bars(key, days), minutes)`, counted through the
    days' bars in order, as flat columns (`day` left empty): compiled, without the days' minutes
    ever being held."""
    o, h, lo, c, v = (np.empty(take, np.int64) for _ in range(5))
    amount = np.empty(take)
    _minutes.intraday_bars(key, days, minutes, skip, (o, h, lo, c, v, amount))
    return MinuteBars(np.zeros(0, np.int64), o, h, lo, c, v, amount)


class Ticks(NamedTuple):
    time: Ints    # minute of the day
    price: Ints   # ticks
    vol: Ints
    num: Ints
    side: Ints    # 0 buy, 1 sell


def ticks(key: int, m: MinuteBars) -> Ticks:
    """The ticks of the first day of `m`: per minute its open, high and low in either order,
    and its close, whose volumes add up to the minute's (`tick_rows`' values, compiled)."""
    price, vol, num, side = (np.empty(MINUTES_PER_DAY * TICKS_PER_MINUTE, np.int64)
                             for _ in range(4))
    minutes = [np.ascontiguousarray(x[0]) for x in (m.open, m.high, m.low, m.close, m.vol)]
    _minutes.day_ticks(key, int(m.day[0]), minutes, (price, vol, num, side))
    return Ticks(_TICK_TIMES, price, vol, num, side)


def tick_rows(key: Keys, m: MinuteBars) -> Ticks:
    """`ticks` of every day row of `m`, as (rows, 960) matrices."""
    n = len(m.day)
    pos = (m.day[:, None] * MINUTES_PER_DAY + np.arange(MINUTES_PER_DAY)).ravel()
    k = _per_minute(key)
    high_first = (uniform(k, 20, pos) < 0.5).reshape(n, MINUTES_PER_DAY)
    inner1 = np.where(high_first, m.high, m.low)
    inner2 = np.where(high_first, m.low, m.high)
    price = np.stack([m.open, inner1, inner2, m.close], axis=2).reshape(n, -1)
    vol = m.vol.reshape(-1)
    draws = np.sort(np.stack([uniform(k, 21 + i, pos) for i in range(3)], axis=1), axis=1)
    cuts = 1 + np.floor(draws * (vol[:, None] - 3)).astype(np.int64) + np.arange(3)
    edges = np.concatenate([np.zeros((len(vol), 1), np.int64), cuts, vol[:, None]], axis=1)
    parts = np.diff(edges, axis=1).reshape(n, -1)
    move = np.sign(np.diff(price, axis=1, prepend=price[:, :1]))
    # A tick at an unchanged price keeps the side of the one before; a day's first keeps its
    # own (a buy), the row's first index being above every index of the rows before.
    at = np.arange(price.size).reshape(n, -1)
    last = np.maximum.accumulate(np.where(move != 0, at, at[:, :1]).ravel())
    side = np.where(move.ravel()[last] < 0, 1, 0).reshape(n, -1)
    times = np.broadcast_to(np.repeat(MINUTE_STAMPS - 1, TICKS_PER_MINUTE), price.shape)
    return Ticks(times, price, parts, np.maximum(1, parts // 25), side)
