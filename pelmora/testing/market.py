"""The synthetic market that the simulated HQ server serves.

Everything is a deterministic function of the seed, so a server process and a test (or any
other process) that build `SimulatedMarket(seed)` see the same data. Prices are whole cents.

How the series hang together:

* Every weekday is a trading day; the history holds `HISTORY_DAYS` of them, ending with
  `today` (a fixed date unless given). A trading day has 240 one-minute bars, stamped 09:31 …
  11:30 and 13:01 … 15:00.
* Each day's minute closes are a random walk (a step of one tick size up, down or none per
  minute); each minute's high and low lie a few ticks beyond its open and close, and its open
  is the close of the minute before. A day opens a small gap away from the close of the day
  before. The walk is anchored at the security's previous close (`pre_close`, the close of the
  day before `today`): the history is generated backwards from it and `today` forwards.
* Every other series is derived from the one-minute bars: the 5/15/30/60-minute bars group
  them within each session, the day bar spans the whole day, week, month, quarter and year bars
  group days (stamped with their last trading day). The minute-time series of a day is the close
  and volume of each of its minutes. A day's transactions are four ticks a minute (open, high
  and low in either order, close) whose volumes add up to the minute's volume.
* `today` is a finished trading day: its quote stands at the close of its last minute.

Volumes are in lots of 100 shares, turnovers (`amount`) in yuan.
"""
import datetime
import functools
import itertools
import random
from collections import namedtuple
from dataclasses import dataclass

from .wire import exact_word

DEFAULT_TODAY = 20250613
HISTORY_DAYS = 1000
MINUTES_PER_DAY = 240
TICKS_PER_MINUTE = 4
DEFAULT_FILL = 1200
SERVERTIME = 15000000  # 15:00:00.00 as HHMMSSxx: the quotes are those of the close

# Minute of the day (since midnight) of each one-minute bar's stamp.
MINUTE_STAMPS = tuple(list(range(9 * 60 + 31, 11 * 60 + 31))
                      + list(range(13 * 60 + 1, 15 * 60 + 1)))

# Bar period of each category: minutes per bar (intraday) or a grouping of days.
INTRADAY_CATEGORIES = {0: 5, 1: 15, 2: 30, 3: 60, 7: 1, 8: 1}
DAILY_CATEGORIES = {4: "day", 9: "day", 5: "week", 6: "month", 10: "quarter", 11: "year"}


@dataclass(frozen=True)
class Security:
    market: int
    code: str
    name: str
    kind: str          # "stock" or "index"
    pre_close: int     # cents: the close of the trading day before today
    base_vol: int      # typical lots traded in one minute
    volunit: int = 100
    decimal_point: int = 2

    @property
    def is_index(self):
        return self.kind == "index"

    @property
    def key(self):
        return (self.market, self.code)


# The previous closes are chosen so that the security list's packed-float pre_close field
# carries them exactly (see wire.encode_volume): for stocks that means quarter-yuan prices in
# [4, 8), [16, 32), [64, 128) or at 128 and above.
FEATURED = (
    Security(1, "000001", "上证指数", "index", 305050, 1_000_000),
    Security(1, "000300", "沪深300", "index", 351275, 600_000),
    Security(1, "600000", "浦发银行", "stock", 725, 3_000),
    Security(1, "600036", "招商银行", "stock", 2750, 2_500),
    Security(1, "600519", "贵州茅台", "stock", 168800, 150),
    Security(1, "601318", "中国平安", "stock", 6825, 2_000),
    Security(0, "000001", "平安银行", "stock", 1650, 3_500),
    Security(0, "000858", "五粮液", "stock", 13550, 400),
    Security(0, "002415", "海康威视", "stock", 2875, 1_500),
    Security(0, "300750", "宁德时代", "stock", 18025, 600),
    Security(0, "399001", "深证成指", "index", 987625, 1_400_000),
    Security(0, "399006", "创业板指", "index", 187550, 500_000),
)

# Bar: date-time (y, m, d, hh, mm), prices in cents, volume in lots, amount in yuan.
Bar = namedtuple("Bar", "when open high low close vol amount")
# Tick: minute of the day, price in cents, volume, number of orders, side (0 buy, 1 sell).
Tick = namedtuple("Tick", "time price vol num side")


def _date_parts(yyyymmdd):
    return yyyymmdd // 10000, yyyymmdd // 100 % 100, yyyymmdd % 100


def trading_days(today, n):
    """The n weekdays up to and including `today` (YYYYMMDD), oldest first."""
    day = datetime.date(*_date_parts(today))
    out = []
    while len(out) < n:
        if day.weekday() < 5:
            out.append(day.year * 10000 + day.month * 100 + day.day)
        day -= datetime.timedelta(days=1)
    return out[::-1]


@functools.lru_cache(maxsize=None)
def _volume_table(base):
    """Lots traded in a minute for each random byte: 0.4 to 1.6 times the typical volume."""
    return [max(200, base * (400 + b * 1200 // 255) // 1000) for b in range(256)]


def is_exact_pre_close(cents):
    return exact_word(cents / 100) is not None


class SimulatedMarket:
    """The securities of both markets and all their series, generated on demand and cached."""

    def __init__(self, seed=0, fill=DEFAULT_FILL, today=DEFAULT_TODAY):
        self.seed, self.fill, self.today = seed, fill, today
        self.days = trading_days(today, HISTORY_DAYS)
        self._day_index = {d: i for i, d in enumerate(self.days)}
        by_market = {0: [], 1: []}
        for sec in FEATURED:
            if not is_exact_pre_close(sec.pre_close):
                raise ValueError(f"previous close of {sec.code} is not exact on the wire")
            by_market[sec.market].append(sec)
        for market, first, prefix in ((1, 603001, "沪模"), (0, 2001, "深模")):
            taken = {s.code for s in by_market[market]}
            rng = self._rng("fill", market)
            number = first
            for i in range(fill):
                while f"{number:06d}" in taken:
                    number += 1
                code = f"{number:06d}"
                taken.add(code)
                by_market[market].append(Security(
                    market, code, f"{prefix}{i % 10000:04d}", "stock",
                    self._random_pre_close(rng), rng.choice((300, 800, 1500, 3000))))
        self._lists = {m: sorted(secs, key=lambda s: s.code) for m, secs in by_market.items()}
        self._by_key = {s.key: s for secs in self._lists.values() for s in secs}

    # ------------------------------------------------------------------ universe

    def securities(self, market):
        """The securities of a market (0 Shenzhen, 1 Shanghai), in list order (by code)."""
        return self._lists.get(market, [])

    def security(self, market, code):
        return self._by_key.get((market, code))

    def _rng(self, *parts):
        return random.Random("|".join(map(str, (self.seed,) + parts)))

    @staticmethod
    def _random_pre_close(rng):
        while True:
            low, high = rng.choice(((4, 8), (16, 32), (64, 128), (128, 400)))
            cents = 25 * rng.randrange(low * 4, high * 4)
            if is_exact_pre_close(cents):
                return cents

    # ------------------------------------------------------------------ generation

    def _day(self, sec, index, anchor):
        """Columns of the one-minute bars of day `index`, and the close of the day before.

        The anchor is the previous close for today (generated forwards) and the day's own close
        for every earlier day (generated backwards), so that regenerating a day from the same
        anchor gives the same bars. Returns (opens, highs, lows, closes, vols, amounts, prev).
        """
        forward = index == len(self.days) - 1
        rng = self._rng(sec.market, sec.code, self.days[index])
        k = max(1, round(anchor * 0.0006))
        gap = rng.randint(-2 * k, 2 * k)
        # Random bytes mapped through tables keep the per-minute work out of Python loops.
        shares = (85, 86, 85)
        if not forward:  # pull the walk back toward the previous close, seen backwards
            ratio = anchor / sec.pre_close
            shares = (110, 73, 73) if ratio < 0.6 else (73, 73, 110) if ratio > 1.6 else shares
        step_of = [-k] * shares[0] + [0] * shares[1] + [k] * shares[2]
        steps = list(map(step_of.__getitem__, rng.randbytes(MINUTES_PER_DAY)))
        wick_of = [w % (k + 1) for w in range(256)]
        up = map(wick_of.__getitem__, rng.randbytes(MINUTES_PER_DAY))
        down = map(wick_of.__getitem__, rng.randbytes(MINUTES_PER_DAY))
        vols = list(map(_volume_table(sec.base_vol).__getitem__, rng.randbytes(MINUTES_PER_DAY)))
        if forward:
            prev_close, first = anchor, anchor + gap
        else:
            first = anchor - sum(steps)
            prev_close = first - gap
        floor = k + 1
        path = list(itertools.accumulate(steps, initial=first))
        if min(path) < floor:
            path = [p if p > floor else floor for p in path]
        opens, closes = path[:-1], path[1:]
        highs = [(o if o > c else c) + w for o, c, w in zip(opens, closes, up)]
        lows = [(o if o < c else c) - w for o, c, w in zip(opens, closes, down)]
        if min(lows) < 1:
            lows = [lo if lo > 1 else 1 for lo in lows]
        if sec.is_index:
            amounts = [v * 1200.0 for v in vols]
        else:
            amounts = [v * (o + h + lo + c) / 4
                       for v, o, h, lo, c in zip(vols, opens, highs, lows, closes)]
        return opens, highs, lows, closes, vols, amounts, max(prev_close, floor)

    @functools.lru_cache(maxsize=64)
    def _anchors(self, key):
        """Per day, the anchor its bars are generated from, and the day bars, oldest first."""
        sec = self._by_key[key]
        n = len(self.days)
        anchors = [0] * n
        days = [None] * n
        close = sec.pre_close
        for index in range(n - 2, -1, -1):
            anchors[index] = close
            o, h, lo, c, v, a, close = self._day(sec, index, close)
            days[index] = Bar(_date_parts(self.days[index]) + (15, 0), o[0], max(h), min(lo),
                              c[-1], sum(v), sum(a))
        anchors[n - 1] = sec.pre_close
        today = self.minute_bars(key, n - 1)
        days[n - 1] = self._span(today, today[-1].when[:3] + (15, 0))
        return anchors, days

    @functools.lru_cache(maxsize=256)
    def minute_bars(self, key, index):
        """The 240 one-minute bars of day `index` of security `key` = (market, code)."""
        sec = self._by_key[key]
        anchor = sec.pre_close if index == len(self.days) - 1 else self._anchors(key)[0][index]
        columns = self._day(sec, index, anchor)[:6]
        day = _date_parts(self.days[index])
        return [Bar(day + divmod(stamp, 60), *fields)
                for stamp, *fields in zip(MINUTE_STAMPS, *columns)]

    @staticmethod
    def _span(bars, when):
        return Bar(when, bars[0].open, max(b.high for b in bars), min(b.low for b in bars),
                   bars[-1].close, sum(b.vol for b in bars), sum(b.amount for b in bars))

    def day_bars(self, key):
        """All day bars of a security, oldest first (the last one is today's)."""
        return self._anchors(key)[1]

    @functools.lru_cache(maxsize=64)
    def _grouped_days(self, key, period):
        days = self.day_bars(key)
        if period == "day":
            return days

        def group(bar):
            y, m, d = bar.when[:3]
            if period == "week":
                return datetime.date(y, m, d).isocalendar()[:2]
            return {"month": (y, m), "quarter": (y, (m - 1) // 3), "year": (y,)}[period]

        return [self._span(grp, grp[-1].when)
                for grp in (list(g) for _, g in itertools.groupby(days, key=group))]

    def _intraday(self, key, index, minutes):
        bars = self.minute_bars(key, index)
        if minutes == 1:
            return bars
        return [self._span(bars[i:i + minutes], bars[i + minutes - 1].when)
                for i in range(0, MINUTES_PER_DAY, minutes)]

    def bars(self, key, category, start, count):
        """Bars of a category, the page [start, start + count) counted back from the most
        recent bar, oldest first; [] for an unknown category or security."""
        if key not in self._by_key or count == 0:
            return []
        if category in DAILY_CATEGORIES:
            series = self._grouped_days(key, DAILY_CATEGORIES[category])
            end = max(0, len(series) - start)
            return series[max(0, end - count):end]
        minutes = INTRADAY_CATEGORIES.get(category)
        if minutes is None:
            return []
        need, tail = start + count, []
        for index in range(len(self.days) - 1, -1, -1):
            tail[:0] = self._intraday(key, index, minutes)
            if len(tail) >= need:
                break
        end = max(0, len(tail) - start)
        return tail[max(0, end - count):end]

    def bar_count(self, key, category):
        """How many bars a category holds in all."""
        if category in DAILY_CATEGORIES:
            return len(self._grouped_days(key, DAILY_CATEGORIES[category]))
        return len(self.days) * MINUTES_PER_DAY // INTRADAY_CATEGORIES[category]

    def updown(self, sec, bar):
        """Advancing and declining counts of an index bar: more advancers than decliners on a
        rising bar, fewer on a falling one, as many on a flat one; 5% unchanged."""
        total = 1800 if sec.market == 1 else 2400
        flat = total // 20
        tilt = min(45, abs(bar.close - bar.open) * 2000 // max(1, bar.open) + 1)
        share = 50 + tilt if bar.close > bar.open else 50 - tilt if bar.close < bar.open else 50
        up = (total - flat) * share // 100
        return up, total - flat - up

    # ------------------------------------------------------------------ days and ticks

    def day_index(self, date):
        """Index of a trading day (YYYYMMDD) in the history, or None."""
        return self._day_index.get(date)

    @functools.lru_cache(maxsize=64)
    def ticks(self, key, index):
        """The transactions of day `index`, four per minute, oldest first."""
        rng = self._rng(*key, self.days[index], "ticks")
        out = []
        last_price, side = None, 0
        for bar, stamp in zip(self.minute_bars(key, index), MINUTE_STAMPS):
            inner = (bar.high, bar.low) if rng.random() < 0.5 else (bar.low, bar.high)
            cuts = sorted(rng.sample(range(1, bar.vol), TICKS_PER_MINUTE - 1))
            parts = [b - a for a, b in zip([0] + cuts, cuts + [bar.vol])]
            for price, vol in zip((bar.open,) + inner + (bar.close,), parts):
                if last_price is not None and price != last_price:
                    side = 0 if price > last_price else 1
                last_price = price
                out.append(Tick(stamp - 1, price, vol, max(1, vol // 25), side))
        return out

    def transactions(self, key, index, start, count):
        ticks = self.ticks(key, index)
        end = max(0, len(ticks) - start)
        return ticks[max(0, end - count):end]

    def quote(self, key):
        """Today's closing quote: (today's day bar, last tick, sold volume, bought volume)."""
        today = len(self.days) - 1
        ticks = self.ticks(key, today)
        sold = sum(t.vol for t in ticks if t.side == 1)
        return self.day_bars(key)[-1], ticks[-1], sold, sum(t.vol for t in ticks) - sold

    def book(self, sec):
        """Five levels (bid, ask, bid volume, ask volume) around today's close; none for an
        index."""
        close = self.day_bars(sec.key)[-1].close
        if sec.is_index:
            return [(0, 0, 0, 0)] * 5
        rng = self._rng(sec.market, sec.code, "book")
        return [(close - level, close + level, rng.randrange(1, 2000), rng.randrange(1, 2000))
                for level in range(1, 6)]
