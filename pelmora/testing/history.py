"""One security's history: its price process, trading days, corporate actions, and its day bars
for any range of the calendar, generated with numpy on demand.

The price moves by a closed form of the calendar index (a drift, a few slow waves and a hashed
daily term), so any day can be generated without the days before it. The raw price is that form
times a factor that changes only at boundaries: the first day after a suspension, where it
continues from the last close, and ex-dates, where it continues from the exchange's ex-rights
reference price

    reference = (previous close - cash + rights price * rights) / (1 + bonus + rights)

(amounts per share; the records carry cash, bonus and rights per 10 shares), computed from the
single-precision values the records carry, all records of one day taken as one event. An ex-date
opens at its reference price; every day's prices lie within 10% of its previous close (the
reference price on ex-dates). Events inside a suspension apply on the day trading resumes.

Everything is computed over the whole calendar, so a later `today` only reveals more of it.
"""
import functools
import math
import random
import struct
from dataclasses import dataclass
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

from .calendar import DAYS, index_on_or_after
from .noise import key_of, uniform

Ints = npt.NDArray[np.int64]
Floats = npt.NDArray[np.float64]
Slots = tuple[float, float, float, float]

# Calendar index of the first trading day of each year's dividend season.
_SEASON = {year: index_on_or_after(year * 10000 + 616) for year in range(1991, 2036)}
# Index (into the calendar) of the default simulated day; static choices (suspensions,
# delistings) are placed relative to it, never relative to the `today` asked for.
ANCHOR = index_on_or_after(20250613)
# Kinds that move and pay like shares (bonus shares, rights issues).
EQUITY = ("stock", "b_share")
# How each kind's price moves: the most daily drift, the daily noise and the scale of the slow
# waves. Bonds stay near their face value.
_MOTION = {"stock": (0.0004, 0.018, 1.0), "b_share": (0.0004, 0.018, 1.0),
           "fund": (0.00025, 0.008, 0.5), "bond": (0.00005, 0.003, 0.12)}


_SINGLE = struct.Struct("<f")


def single(value: float) -> float:
    """`value` rounded to a single-precision float, as the wire carries it."""
    return float(_SINGLE.unpack(_SINGLE.pack(value))[0])


@dataclass(frozen=True)
class Security:
    market: int
    code: str
    name: str
    kind: str            # "stock", "index", "fund", "bond", "b_share" or "other"
    listed: int          # first trading day, YYYYMMDD
    start_price: int     # ticks at listing (an index: hundredths of a point)
    base_vol: int        # typical lots traded in one minute
    delisted: int = 0    # first day without trading, YYYYMMDD; 0 while listed
    volunit: int = 100   # units (shares, or bonds) a lot
    decimal_point: int = 2  # a price tick is 10^-decimal_point of the currency

    @property
    def is_index(self) -> bool:
        return self.kind == "index"

    @property
    def scale(self) -> int:
        """Ticks a unit of the currency."""
        return int(10 ** self.decimal_point)

    @property
    def key(self) -> tuple[int, str]:
        return (self.market, self.code)


@dataclass(frozen=True)
class Event:
    date: int                            # YYYYMMDD
    category: int                        # 1 ex-rights and dividends, 5 share capital change
    slots: tuple[float, float, float, float]


class DayBars(NamedTuple):
    """Columns of the day bars of the traded days of a calendar range."""
    day: Ints         # calendar index of each bar
    open: Ints        # ticks
    high: Ints
    low: Ints
    close: Ints
    vol: Ints         # lots
    amount: Floats    # the currency


def reference_price(prev_ticks: int, cash10: float, rights_price: float, bonus10: float,
                    rights10: float, scale: int = 100) -> int:
    """The ex-rights reference price in ticks (`scale` a unit of the currency) from the previous
    close and the summed amounts."""
    prev = prev_ticks / scale
    ref = (prev - cash10 / 10 + rights_price * rights10 / 10) / (1 + bonus10 / 10 + rights10 / 10)
    return max(1, round(ref * scale))


class History:
    """The static shape of one security's history over the whole calendar."""

    def __init__(self, sec: Security, seed: int, shaped_suspension: bool = False) -> None:
        self.sec = sec
        self.key = key_of(seed, sec.market, sec.code)
        rng = random.Random(self.key)
        self.first = index_on_or_after(sec.listed)
        self.end = index_on_or_after(sec.delisted) if sec.delisted else len(DAYS)
        drift, self.sigma, swing = _MOTION.get(sec.kind, _MOTION["fund"])
        self.log_p0 = math.log(sec.start_price)
        self.mu = rng.uniform(0.0, drift)
        self.waves = [(rng.uniform(0.5, 1.0) * amp * swing,
                       2 * math.pi / period, rng.uniform(0, 2 * math.pi))
                      for amp, period in ((0.45, 1900.0), (0.25, 650.0), (0.12, 240.0),
                                          (0.05, 55.0), (0.025, 19.0))]
        self.wave0 = sum(a * math.sin(w * self.first + p) for a, w, p in self.waves)
        self.suspensions = self._suspensions(rng, shaped_suspension)
        self._schedule = self._plan_events(rng)
        if shaped_suspension and self._schedule:  # one event falls inside a suspension
            day = next((d for d, _ in self._schedule if d > self.first + 60), None)
            if day is not None:
                self.suspensions.append((day - 3, day + 4))
        self._settle(rng)

    # ------------------------------------------------------------------ static choices

    def _suspensions(self, rng: random.Random, shaped: bool) -> list[tuple[int, int]]:
        """Calendar ranges [a, b) without trading."""
        out: list[tuple[int, int]] = []
        if self.sec.kind != "stock":
            return out
        room = ANCHOR - 130 - (self.first + 20)
        for _ in range(rng.choice((0, 0, 0, 1, 1, 2))):
            if room > 0:
                a = self.first + 20 + rng.randrange(room)
                out.append((a, a + rng.choice((1, 2, 5, 10, 22, 60))))
        if not shaped and rng.random() < 0.01 and self.first < ANCHOR - 30:
            out.append((ANCHOR - 5, ANCHOR + 10))  # suspended on the default day
        return out

    def _plan_events(self, rng: random.Random) -> list[tuple[int, list[dict[str, float]]]]:
        """(calendar index, [record parts]) of each ex-date; amounts are fractions of the price
        until the price is known."""
        plan: list[tuple[int, list[dict[str, float]]]] = []
        if self.sec.kind in ("index", "other"):  # no dividends on indices, warrants, repos
            return plan
        first_year = int(DAYS[self.first]) // 10000 + 1
        for year in range(first_year, 2036):
            if rng.random() > (0.8 if self.sec.kind in EQUITY else 0.3):
                continue
            day = _SEASON[year] + rng.randrange(35)
            if not self.first < day < self.end - 1:
                continue
            parts = [{"cash": rng.uniform(0.006, 0.03)}]
            if self.sec.kind in EQUITY:
                if rng.random() < 0.08:
                    parts.append({"bonus": float(rng.choice((1, 2, 3, 5, 10)))})
                if rng.random() < 0.05:
                    parts.append({"rights": float(rng.choice((1, 2, 3))),
                                  "price": rng.uniform(0.6, 0.85)})
                if len(parts) == 1 and rng.random() < 0.08:
                    parts.append({"cash": rng.uniform(0.006, 0.02)})  # a special dividend
            if len(parts) > 1 and rng.random() < 0.6:
                merged: dict[str, float] = {}
                for p in parts:
                    merged.update(p)
                if "cash" in parts[0] and len(parts) == 2 and "cash" in parts[1]:
                    merged["cash"] = parts[0]["cash"] + parts[1]["cash"]
                parts = [merged]
            plan.append((day, parts))
        return plan

    def traded(self) -> npt.NDArray[np.bool_]:
        """Whether the security trades on each calendar day."""
        mask = np.zeros(len(DAYS), dtype=bool)
        mask[self.first:self.end] = True
        for a, b in self.suspensions:
            mask[a:b] = False
        return mask

    # ------------------------------------------------------------------ the price

    def log_close(self, t: npt.ArrayLike) -> Floats:
        """The closed-form log price (ticks) behind the closes of calendar days t."""
        at = np.asarray(t, dtype=np.float64)
        out = self.log_p0 + self.mu * (at - self.first) - self.wave0
        for amp, w, phase in self.waves:
            out = out + amp * np.sin(w * at + phase)
        return np.asarray(out + self.sigma * (2 * uniform(self.key, 1, t) - 1))

    def _settle(self, rng: random.Random) -> None:
        """Walks the boundaries in order: the factor of each segment, the opens of ex-dates and
        the amounts of their records (the records themselves are built when first asked for)."""
        days = np.flatnonzero(self.traded())
        self.ex_open: dict[int, int] = {}
        self._records: list[tuple[int, list[Slots]]] = []
        total = rng.randrange(20_000, 2_000_000)
        self._capital = (total * rng.randrange(40, 101) // 100, total)
        starts = [self.first]
        factors = [1.0]
        if days.size == 0:
            self.seg_start, self.seg_factor = np.array(starts), np.array(factors)
            return
        gaps = np.flatnonzero(np.diff(days) > 1) + 1
        resumed = dict(zip(days[gaps].tolist(), days[gaps - 1].tolist()))
        event_days = [d for d, _ in self._schedule if d <= days[-1]]
        at = np.searchsorted(days, event_days)
        # The day each boundary continues from: its last trading day before.
        previous = dict(zip(days[at].tolist(), days[np.maximum(at - 1, 0)].tolist()))
        previous.update(resumed)
        boundaries = sorted(previous)
        need = sorted(set(previous.values()) | {b - 1 for b in boundaries})
        q = dict(zip(need, np.exp(self.log_close(need)).tolist())) if need else {}
        by_day = dict(self._schedule)
        pending = sorted(event_days)
        k = 0
        for b in boundaries:
            last = previous[b]
            price = max(1, round(q[last] * factors[-1]))
            while k < len(pending) and pending[k] <= b:
                if pending[k] > last:
                    price = self._apply(pending[k], by_day[pending[k]], price)
                    self.ex_open[b] = price
                k += 1
            starts.append(b)
            factors.append(price / q[b - 1])
        self.seg_start = np.array(starts)
        self.seg_factor = np.array(factors)

    def _apply(self, day: int, parts: list[dict[str, float]], price: int) -> int:
        """Keeps the record amounts of one ex-date; returns its reference price."""
        yuan = price / self.sec.scale
        sums = [0.0, 0.0, 0.0, 0.0]  # cash, rights price, bonus, rights (as read back)
        kept: list[Slots] = []
        for part in parts:
            # Cash per 10 units to a tenth of the price's places, at least five of those.
            step = 10 ** (1 - self.sec.decimal_point)
            cash = max(5 * step, round(part["cash"] * yuan * 10, self.sec.decimal_point - 1)) \
                if "cash" in part else 0.0
            rights_price = (round(part["price"] * yuan, self.sec.decimal_point)
                            if "rights" in part else 0.0)
            # Bonus and rights counts are small whole numbers: exact as singles.
            slots = (single(cash), single(rights_price) if rights_price else 0.0,
                     part.get("bonus", 0.0), part.get("rights", 0.0))
            kept.append(slots)
            sums = [sums[0] + slots[0], slots[1] or sums[1], sums[2] + slots[2], sums[3] + slots[3]]
        self._records.append((day, kept))
        cash10, rights_price, bonus10, rights10 = sums
        return reference_price(price, cash10, rights_price, bonus10, rights10, self.sec.scale)

    @functools.cached_property
    def events(self) -> list[Event]:
        """The records over the whole calendar: ex-rights records, and share capital at listing
        and after each bonus or rights issue."""
        tradable, total = self._capital
        out = [Event(int(DAYS[self.first]), 5, (0, 0, tradable, total))]
        for day, kept in self._records:
            date = int(DAYS[day])
            bonus = rights = 0.0
            for slots in kept:
                out.append(Event(date, 1, slots))
                bonus, rights = bonus + slots[2], rights + slots[3]
            if bonus or rights:
                grow = 1 + (bonus + rights) / 10
                new = (round(tradable * grow), round(total * grow))
                out.append(Event(date, 5, (tradable, total) + new))
                tradable, total = new
        return out

    def close_on(self, day: int) -> int:
        """The close in ticks of a traded calendar day."""
        return int(self.closes_on([day])[0])

    def closes_on(self, days: list[int]) -> Ints:
        """The closes in ticks of traded calendar days, as `day_bars` gives them."""
        factor = self.seg_factor[np.searchsorted(self.seg_start, days, side="right") - 1]
        closes = np.maximum(np.rint(np.exp(self.log_close(days)) * factor), 1)
        out: Ints = closes.astype(np.int64)
        return out

    # ------------------------------------------------------------------ bars

    def day_bars(self, a: int, b: int) -> DayBars:
        """The bars of the traded days among calendar days [a, b)."""
        a, b = max(a, self.first), min(b, self.end)
        if b <= a:
            e = np.zeros(0, np.int64)
            return DayBars(e, e, e, e, e, e, np.zeros(0))
        t = np.arange(a - 1, b)
        qc = np.exp(self.log_close(t))
        factor = self.seg_factor[np.searchsorted(self.seg_start, t[1:], side="right") - 1]
        prev = qc[:-1] * factor
        close = np.rint(qc[1:] * factor)
        u = uniform(self.key, 2, t[1:])
        wick_up, wick_down, volume = (uniform(self.key, s, t[1:]) for s in (3, 4, 5))
        opened = np.rint(prev * np.exp(0.01 * (u - 0.5)))
        keep = self.traded()[a:b]
        for day, price in self.ex_open.items():
            if a <= day < b:
                opened[day - a] = price
        top = np.maximum(opened, close)
        bottom = np.minimum(opened, close)
        high = np.maximum(np.rint(top * np.exp(0.012 * wick_up)), top)
        low = np.minimum(np.rint(bottom * np.exp(-0.012 * wick_down)), bottom)
        o, h, lo, c = (np.maximum(x, 1).astype(np.int64) for x in (opened, high, low, close))
        vol = (self.sec.base_vol * 240 * (0.5 + volume)).astype(np.int64)
        if self.sec.is_index:
            amount = vol * 1200.0
        else:  # lots x units a lot x the bar's mean price in the currency
            amount = vol * (o + h + lo + c) / 4.0 * (self.sec.volunit / self.sec.scale)
        pick = np.flatnonzero(keep)
        return DayBars(t[1:][pick], o[pick], h[pick], lo[pick], c[pick], vol[pick],
                       np.asarray(amount[pick], dtype=np.float64))
