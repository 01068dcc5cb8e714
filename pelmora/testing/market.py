"""The synthetic market that the simulated HQ server serves.

Everything is a deterministic function of the seed, so a server process (or any number of
worker processes) and a test that build `SimulatedMarket(seed)` see the same data, whatever the
order of the requests. Prices are whole ticks, 10^-decimal_point of the trading currency: cents
for the 2-decimal securities (stocks, indices in hundredths of a point, Shenzhen's B shares),
thousandths for the 3-decimal ones (funds, bonds, Shanghai's B shares, warrants, repos).

How the series hang together:

* The market has about 2,300 Shanghai and 2,900 Shenzhen securities by default: stocks, funds
  and ETFs, a few indices, and about 3% bonds (mostly convertibles, around 100-130 yuan, in lots
  of 10 bonds), 1% B shares (Shanghai's in US dollars, Shenzhen's in Hong Kong dollars) and 0.3%
  other securities (repos, subscription codes, Shenzhen warrants). `securities` chooses another
  total and `fill` the old way, the dozen well-known codes plus `fill` generated ones per market
  (the other kinds come in as a market grows: none below 45 securities, all of them from
  1,000).
* The trading days are the weekdays since 1990-12-19 up to `today`. Every security has a listing
  day, so histories differ in length (the oldest hold 8,000+ day bars, new listings a few); some
  stocks are suspended for stretches (no bars on those days) and a few are delisted (listed, no
  recent bars). `history` tells how prices move and how corporate actions set them.
* Day bars are the base. Intraday bars are derived for the recent depth only: per category the
  most recent `INTRADAY_DEPTH` bars, and minute series and ticks for the days they span. Each day
  has 240 one-minute bars stamped 09:31 ... 11:30 and 13:01 ... 15:00 that open at the day's
  open, touch its high and low, close at its close and share out its volume, each at its own mean price; the
  5/15/30/60-minute bars group them within the day; week, month, quarter and year bars group the
  days (stamped with their last trading day). A day's ticks are four a minute (open, high and low
  in either order, close) whose volumes add up to the minute's.
* `today` is a finished trading day: its quote stands at its close; its previous close is the
  close before, or the reference price when today is an ex-date.

Volumes count lots of the security's `volunit` units (100 shares, or 10 bonds); turnovers
(`amount`) are in the trading currency, lots x `volunit` x the bar's mean price, so that
`amount / (vol * volunit)` lies within every bar's low..high (a minute's amount is its volume
at its own mean price and the day's money per lot and tick, so a day's minutes add up to its
amount only within the spread of their prices). An index keeps its own rule, 12 yuan a unit of
volume for its day bars: `amount / (vol * 100)` lies between 0.0005 and 0.025 times the index
level in points (0.00063 to 0.0195 over every index day of the default market).
Generated series are kept in small LRU caches, so memory stays bounded however many securities are
asked for. The answers that cover many securities at once, a list page's previous closes and a
request's 80 quotes, read tables that `prepare` works out for the whole market in one pass (a
server does it at start-up); without them each such security costs its history.
"""
import dataclasses
import datetime
import functools
import random
from collections import namedtuple
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

from .calendar import DAYS, PERIOD_IDS, date_parts, index_on_or_after, index_on_or_before
from .history import ANCHOR, DayBars, Event, History, Security
from .minutes import MINUTES_PER_DAY, MinuteBars, Ticks, minute_bars, page, tick_rows, ticks

__all__ = ["SimulatedMarket", "Security", "Bar", "Tick", "FEATURED", "DEFAULT_TODAY",
           "DEFAULT_SECURITIES", "INTRADAY_DEPTH", "DAILY_CATEGORIES", "INTRADAY_CATEGORIES"]

DEFAULT_TODAY = 20250613
DEFAULT_SECURITIES = 5200   # both markets; 44% of them in Shanghai, as on the exchanges
SHANGHAI_SHARE = 0.44
INTRADAY_DEPTH = 24000      # bars of each intraday category a server keeps
FIRST_MINUTE_DAY = 20040101  # the first day a minute bar's packed date can hold
ANNOUNCED_DAYS = 30         # ex-dates this many days ahead are listed before they happen
SERVERTIME = 15000000  # 15:00:00.00 as HHMMSSxx: the quotes are those of the close

# Bar period of each category: minutes per bar (intraday) or a grouping of days.
INTRADAY_CATEGORIES = {0: 5, 1: 15, 2: 30, 3: 60, 7: 1, 8: 1}
DAILY_CATEGORIES = {4: "day", 9: "day", 5: "week", 6: "month", 10: "quarter", 11: "year"}

FEATURED = (
    Security(1, "000001", "上证指数", "index", 19901219, 10000, 1_000_000),
    Security(1, "000300", "沪深300", "index", 20050408, 100000, 600_000),
    Security(1, "600000", "浦发银行", "stock", 19991110, 1000, 3_000),
    Security(1, "600036", "招商银行", "stock", 20020409, 720, 2_500),
    Security(1, "600519", "贵州茅台", "stock", 20010827, 3100, 150),
    Security(1, "601318", "中国平安", "stock", 20070301, 3300, 2_000),
    Security(0, "000001", "平安银行", "stock", 19910403, 4000, 3_500),
    Security(0, "000858", "五粮液", "stock", 19980427, 1400, 400),
    Security(0, "002415", "海康威视", "stock", 20100528, 6000, 1_500),
    Security(0, "300750", "宁德时代", "stock", 20180611, 2500, 600),
    Security(0, "399001", "深证成指", "index", 19910403, 100000, 1_400_000),
    Security(0, "399006", "创业板指", "index", 20100601, 100000, 500_000),
)
# Roughly where the well-known codes stood on the default day: their start prices are scaled
# to land there (a fixed day, so a later `today` does not change their history).
_NEAR = {(1, "000001"): 340000, (1, "000300"): 390000, (1, "600000"): 1200, (1, "600036"): 4400,
         (1, "600519"): 143000, (1, "601318"): 5300, (0, "000001"): 1150, (0, "000858"): 12800,
         (0, "002415"): 2800, (0, "300750"): 25000, (0, "399001"): 1040000,
         (0, "399006"): 210000}
# The stock whose history has an ex-date inside a suspension, whatever the seed.
SHAPED = (0, "002415")

# Bar: date-time (y, m, d, hh, mm), prices in ticks, volume in lots, amount in the currency.
Bar = namedtuple("Bar", "when open high low close vol amount")
# Tick: minute of the day, price in ticks, volume, number of orders, side (0 buy, 1 sell).
Tick = namedtuple("Tick", "time price vol num side")
# Today's quote: day bar, last tick, sold and bought volume; a level of the book: bid, ask,
# bid volume, ask volume.
Quote = tuple[Bar | None, Tick | None, int, int]
Level = tuple[int, int, int, int]

# Code ranges of generated stocks, funds and indices: (kind, first, last, name prefix).
_RANGES = {
    1: [("stock", 600000, 605999, "沪股"), ("stock", 688000, 688999, "科创"),
        ("fund", 510000, 519999, "沪基"), ("index", 2, 999, "沪指")],
    0: [("stock", 2, 1999, "深股"), ("stock", 2000, 2999, "中小"), ("stock", 300000, 301999, "创业"),
        ("fund", 159000, 159999, "深基"), ("index", 399002, 399999, "深指")],
}
# The other kinds, drawn from a stream of their own so that adding them left the stocks, funds
# and indices above as they were: (kind, first, last, name prefix, units a lot, decimal places,
# share of the market's securities). Convertible bonds trade in lots of 10 bonds; Shanghai's B
# shares are priced in US dollars to the mill, Shenzhen's in Hong Kong dollars to the cent.
_MORE = {
    1: [("bond", 110000, 113999, "沪转", 10, 3, 0.022), ("bond", 10000, 19999, "国债", 10, 3, 0.008),
        ("b_share", 900900, 900999, "沪B", 100, 3, 0.01),
        ("other", 204001, 204999, "回购", 100, 3, 0.002),
        ("other", 730000, 732999, "沪申", 100, 2, 0.001)],
    0: [("bond", 123000, 123999, "深转", 10, 3, 0.01), ("bond", 127000, 127999, "深转", 10, 3, 0.008),
        ("bond", 128000, 128999, "深转", 10, 3, 0.007), ("bond", 112000, 112999, "深债", 10, 3, 0.005),
        ("b_share", 200000, 201999, "深B", 100, 2, 0.01),
        ("other", 31000, 31999, "深权", 100, 3, 0.003)],
}
# Units a lot and decimal places of the generated stocks, funds and indices.
_UNITS = {"stock": (100, 2), "fund": (100, 3), "index": (100, 2)}


class BarColumns(NamedTuple):
    """Columns of a page of bars, oldest first."""
    date: npt.NDArray[np.int64]     # YYYYMMDD
    minute: npt.NDArray[np.int64]   # minute of the day (900 for day-form bars)
    open: npt.NDArray[np.int64]
    high: npt.NDArray[np.int64]
    low: npt.NDArray[np.int64]
    close: npt.NDArray[np.int64]
    vol: npt.NDArray[np.int64]
    amount: npt.NDArray[np.float64]

    def rows(self) -> list[Bar]:
        return [Bar(date_parts(d) + divmod(mi, 60), o, h, lo, c, v, a) for d, mi, o, h, lo, c, v, a
                in zip(*(x.tolist() for x in self))]


def _empty_columns() -> BarColumns:
    e = np.zeros(0, np.int64)
    return BarColumns(e, e, e, e, e, e, e, np.zeros(0))


def _generate(market: int, count: int, seed: int, taken: set[str]) -> list[Security]:
    """`count` generated securities of a market: about 94% stocks, 5% funds, 1% indices."""
    rng = random.Random(f"{seed}|universe|{market}")
    ranges = _RANGES[market]
    stock_ranges = [r for r in ranges if r[0] == "stock"]
    out: list[Security] = []
    used = set(taken)
    for i in range(count):
        u = rng.random()
        kind = "index" if u < 0.01 else "fund" if u < 0.06 else "stock"
        pool = stock_ranges if kind == "stock" else [r for r in ranges if r[0] == kind]
        _, low, high, prefix = rng.choices(pool, [r[2] - r[1] + 1 for r in pool])[0]
        while True:
            code = f"{rng.randint(low, high):06d}"
            if code not in used:
                break
        used.add(code)
        r = rng.random()
        if r < 0.04:
            listed = rng.randrange(0, 260)      # among the first: 8,000+ day bars
        elif r < 0.05:
            listed = ANCHOR - rng.randrange(0, 8)  # new listings: a few bars
        else:
            listed = int(ANCHOR - (ANCHOR - 300) * rng.random() ** 1.4) - 20
        delisted = 0
        if kind == "stock" and rng.random() < 0.012 and listed < ANCHOR - 400:
            delisted = int(DAYS[rng.randrange(listed + 260, ANCHOR - 20)])
        price = (rng.choice((100000, 300000)) if kind == "index" else
                 1000 if kind == "fund" else int(300 * 10 ** (rng.random() * 1.3)))
        base = rng.choice((300, 800, 1500, 3000)) * (50 if kind == "index" else 1)
        volunit, places = _UNITS[kind]
        out.append(Security(market, code, f"{prefix}{i % 10000:04d}", kind,
                            int(DAYS[max(0, listed)]), price, base, delisted, volunit, places))
    return out


def more_counts(market: int, size: int) -> list[int]:
    """How many of each `_MORE` range a market of `size` securities holds (none in small ones)."""
    return [int(size * r[-1]) for r in _MORE[market]]


def _generate_more(market: int, counts: list[int], seed: int,
                   taken: set[str]) -> list[Security]:
    """The bonds, B shares and other securities of a market, `counts` of each `_MORE` range."""
    rng = random.Random(f"{seed}|universe|{market}|more")
    out: list[Security] = []
    used = set(taken)
    for (kind, low, high, prefix, volunit, places, _), count in zip(_MORE[market], counts):
        for i in range(count):
            while True:
                code = f"{rng.randint(low, high):06d}"
                if code not in used:
                    break
            used.add(code)
            if kind == "b_share":  # the B share markets opened in 1992 and listed little after
                listed = rng.randrange(200, 1800)
                dollars = 0.3 if market == 1 else 1.5  # US dollars; Hong Kong dollars
                price = int(dollars * 10 ** places * 10 ** rng.random())
            elif kind == "bond":  # near the face value of 100
                listed = ANCHOR - rng.randrange(20, 1500)
                price = rng.randrange(100, 130) * 10 ** places
            else:
                listed = ANCHOR - rng.randrange(20, 800)
                price = int(0.2 * 10 ** places * 10 ** rng.random())
            # At least 300 lots a minute, as for the stocks: a quiet minute then still trades
            # 64 lots or more, which the bars' packed volume word carries exactly (it cannot
            # hold some counts below 64: 15 reads back as 16.125).
            base = rng.choice((300, 500, 800, 1200))
            out.append(Security(market, code, f"{prefix}{i % 10000:04d}", kind,
                                int(DAYS[listed]), max(1, price), base, 0, volunit, places))
    return out


class SimulatedMarket:
    """The securities of both markets and all their series, generated on demand and cached."""

    def __init__(self, seed: int = 0, fill: int | None = None, today: int = DEFAULT_TODAY,
                 securities: int | None = None) -> None:
        self.seed, self.fill = seed, fill
        last = index_on_or_before(today)
        if last < 0:
            raise ValueError(f"today {today} lies before the first trading day")
        self.today = int(DAYS[last])
        self.last = last
        self.days: list[int] = DAYS[:last + 1].tolist()
        if fill is not None:
            sizes = {0: 6 + fill, 1: 6 + fill}
        else:
            total = DEFAULT_SECURITIES if securities is None else securities
            sizes = {1: round(total * SHANGHAI_SHARE)}
            sizes[0] = total - sizes[1]
        lists: dict[int, list[Security]] = {}
        for market in (0, 1):
            featured = [self._calibrated(s) for s in FEATURED if s.market == market]
            featured = featured[:sizes[market]]
            counts = more_counts(market, sizes[market])
            generated = _generate(market, max(0, sizes[market] - len(featured) - sum(counts)),
                                  seed, {s.code for s in featured})
            generated += _generate_more(market, counts, seed,
                                        {s.code for s in featured + generated})
            lists[market] = sorted((s for s in featured + generated
                                    if index_on_or_after(s.listed) <= last),
                                   key=lambda s: s.code)
        self._lists = lists
        self._by_key = {s.key: s for secs in lists.values() for s in secs}
        self._closes: dict[tuple[int, str], tuple[int, int]] | None = None
        self._list_closes: dict[int, npt.NDArray[np.int64]] = {}
        self._quotes: dict[tuple[int, str], Quote] = {}
        self._books: dict[tuple[int, str], list[Level]] = {}

    def _calibrated(self, sec: Security) -> Security:
        hist = History(sec, self.seed, shaped_suspension=sec.key == SHAPED)
        days = np.flatnonzero(hist.traded()[:ANCHOR + 1])
        scale = _NEAR[sec.key] / hist.close_on(int(days[-1]))
        return dataclasses.replace(sec, start_price=max(1, round(sec.start_price * scale)))

    # ------------------------------------------------------------------ universe

    def securities(self, market: int) -> list[Security]:
        """The securities of a market (0 Shenzhen, 1 Shanghai), in list order (by code)."""
        return self._lists.get(market, [])

    def security(self, market: int, code: str) -> Security | None:
        return self._by_key.get((market, code))

    @functools.lru_cache(maxsize=8192)
    def history(self, key: tuple[int, str]) -> History:
        return History(self._by_key[key], self.seed, shaped_suspension=key == SHAPED)

    def events(self, key: tuple[int, str]) -> list[Event]:
        """Ex-rights records known on `today`: those up to today and the ex-dates announced for
        the next `ANNOUNCED_DAYS` days."""
        y, m, d = date_parts(self.today)
        horizon = datetime.date(y, m, d) + datetime.timedelta(days=ANNOUNCED_DAYS)
        ahead = horizon.year * 10000 + horizon.month * 100 + horizon.day
        return [e for e in self.history(key).events
                if e.date <= self.today or (e.category == 1 and e.date <= ahead)]

    @functools.lru_cache(maxsize=1024)
    def _traded(self, key: tuple[int, str]) -> npt.NDArray[np.int64]:
        return np.flatnonzero(self.history(key).traded()[:self.last + 1])

    def traded_days(self, key: tuple[int, str]) -> npt.NDArray[np.int64]:
        """Calendar indexes of the days the security traded, up to today."""
        return self._traded(key)

    def pre_close(self, key: tuple[int, str]) -> int:
        """Today's previous close in ticks: the last close before today, or the reference
        price when today is an ex-date; the last close when it did not trade today."""
        if self._closes is not None:
            return self._closes[key][0]
        return self._closes_of(key)[0]

    def last_close(self, key: tuple[int, str]) -> int:
        """The close of the last day traded, or the previous close when it never traded."""
        if self._closes is not None:
            return self._closes[key][1]
        return self._closes_of(key)[1]

    def pre_closes(self, market: int, start: int, stop: int) -> npt.NDArray[np.int64]:
        """`pre_close` of the securities [start, stop) of a market's list."""
        if self._closes is not None:
            return self._list_closes[market][start:stop]
        return np.array([self.pre_close(s.key) for s in self.securities(market)[start:stop]],
                        dtype=np.int64)

    def prepare(self) -> None:
        """Works out every security's previous and last close and today's quote at once, so
        that a page of the security list, which shows the previous close of a thousand
        securities, or a request of 80 quotes, costs no security's history. A server does this
        before it takes requests (and before forking workers, which then share it)."""
        if self._closes is not None:
            return
        closes: dict[tuple[int, str], tuple[int, int]] = {}
        today: list[tuple[tuple[int, str], int, DayBars]] = []
        # Each history is built once and let go: keeping 5,000 of them would cost far more
        # memory than the tables.
        for key, sec in self._by_key.items():
            hist = History(sec, self.seed, shaped_suspension=key == SHAPED)
            closes[key], bar = self._closes_from(hist)
            if bar is not None:
                today.append((key, hist.key, bar))
        quotes: dict[tuple[int, str], Quote] = {}
        books: dict[tuple[int, str], list[Level]] = {}
        when = date_parts(self.today) + (15, 0)
        for i in range(0, len(today), 128):  # the minutes of 128 securities at a time
            chunk = today[i:i + 128]
            bars = DayBars(*(np.concatenate(column) for column in zip(*(b for *_, b in chunk))))
            keys = np.array([k for _, k, _ in chunk], np.uint64)
            t = tick_rows(keys, minute_bars(keys, bars))
            sold = np.where(t.side == 1, t.vol, 0).sum(axis=1).tolist()
            total = t.vol.sum(axis=1).tolist()
            columns = [x.tolist() for x in bars[1:]]
            lasts = zip(*(x[:, -1].tolist() for x in t))
            for (key, _, _), row, last, sell, vol in zip(chunk, zip(*columns), lasts, sold, total):
                quotes[key] = (Bar(when, *row), Tick(*last), sell, vol - sell)
                sec = self._by_key[key]
                if not sec.is_index:
                    books[key] = self._levels(sec, closes[key][1])
        self._closes, self._quotes, self._books = closes, quotes, books
        self._list_closes = {m: np.array([closes[s.key][0] for s in secs], np.int64)
                             for m, secs in self._lists.items()}

    @functools.lru_cache(maxsize=16384)
    def _closes_of(self, key: tuple[int, str]) -> tuple[int, int]:
        return self._closes_from(self.history(key))[0]

    def _closes_from(self, hist: History) -> tuple[tuple[int, int], DayBars | None]:
        """(previous close, last close), and today's bar if it traded today."""
        days = np.flatnonzero(hist.traded()[:self.last + 1])
        start = hist.sec.start_price
        if days.size == 0:
            return (start, start), None
        last = int(days[-1])
        if last < self.last:  # not traded today: the last close is also the previous one
            close = int(hist.closes_on([last])[0])
            return (close, close), None
        bars = hist.day_bars(int(days[-2]) if days.size > 1 else last, last + 1)
        pre = int(bars.close[0]) if len(bars.day) > 1 else start
        today = DayBars._make(x[-1:] for x in bars)
        return (hist.ex_open.get(last, pre), int(bars.close[-1])), today

    # ------------------------------------------------------------------ bars

    def day_columns(self, key: tuple[int, str], a: int, b: int) -> DayBars:
        return self.history(key).day_bars(a, min(b, self.last + 1))

    def bar_columns(self, key: tuple[int, str], category: int, start: int,
                    count: int) -> BarColumns:
        """A page of bars: [start, start + count) counted back from the most recent bar, oldest
        first; nothing for an unknown category or security, or beyond the depth kept."""
        if key not in self._by_key or count <= 0 or start < 0:
            return _empty_columns()
        days = self._traded(key)
        if category in DAILY_CATEGORIES:
            ids = PERIOD_IDS[DAILY_CATEGORIES[category]][days]
            firsts = np.flatnonzero(np.diff(ids, prepend=-1))
            end = len(firsts) - start
            if end <= 0:
                return _empty_columns()
            begin = max(0, end - count)
            lo = int(days[firsts[begin]])
            hi = int(days[firsts[end] - 1]) + 1 if end < len(firsts) else int(days[-1]) + 1
            bars = self.day_columns(key, lo, hi)
            cuts = firsts[begin:end] - firsts[begin]
            ends = np.append(cuts[1:], len(bars.day)) - 1
            return BarColumns(
                DAYS[bars.day[ends]], np.full(len(cuts), 900, np.int64), bars.open[cuts],
                np.maximum.reduceat(bars.high, cuts), np.minimum.reduceat(bars.low, cuts),
                bars.close[ends], np.add.reduceat(bars.vol, cuts),
                np.add.reduceat(bars.amount, cuts))
        minutes = INTRADAY_CATEGORIES.get(category)
        if minutes is None:
            return _empty_columns()
        per_day = MINUTES_PER_DAY // minutes
        # A minute bar's packed date counts years from 2004: no server keeps earlier ones.
        days = days[DAYS[days] >= FIRST_MINUTE_DAY]
        total = len(days) * per_day
        kept = min(total, INTRADAY_DEPTH)
        end = kept - start
        if end <= 0:
            return _empty_columns()
        begin = max(0, end - count)
        # Bars [f0, f1) of the whole series, counted forwards, from the days that hold them.
        f0, f1 = total - kept + begin, total - kept + end
        d0, d1 = f0 // per_day, (f1 - 1) // per_day
        bars = self.day_columns(key, int(days[d0]), int(days[d1]) + 1)
        skip = f0 - d0 * per_day
        m = page(self.history(key).key, bars, minutes, skip, f1 - f0)
        at = np.arange(skip, skip + f1 - f0)
        return BarColumns(DAYS[bars.day[at // per_day]], np_stamps(minutes)[at % per_day], m.open,
                          m.high, m.low, m.close, m.vol, m.amount)

    def bars(self, key: tuple[int, str], category: int, start: int, count: int) -> list[Bar]:
        """`bar_columns` as a list of Bar."""
        return self.bar_columns(key, category, start, count).rows()

    def day_bars(self, key: tuple[int, str]) -> list[Bar]:
        """All day bars of a security up to today, oldest first."""
        return self.bars(key, 9, 0, len(self._traded(key)))

    def updown(self, sec: Security, opened: npt.ArrayLike,
               closed: npt.ArrayLike) -> npt.NDArray[np.int64]:
        """Advancing and declining counts of index bars, one (up, down) row a bar: more advancers
        than decliners on a rising bar, fewer on a falling one, as many on a flat one; 5%
        unchanged."""
        total = 1800 if sec.market == 1 else 2400
        flat = total // 20
        o, c = np.asarray(opened, np.int64), np.asarray(closed, np.int64)
        tilt = np.minimum(45, np.abs(c - o) * 2000 // np.maximum(1, o) + 1)
        share = 50 + np.sign(c - o) * tilt
        up = (total - flat) * share // 100
        return np.stack([up, total - flat - up], axis=1)

    # ------------------------------------------------------------------ days and ticks

    def day_index(self, date: int) -> int | None:
        """Calendar index of a trading day (YYYYMMDD) up to today, or None."""
        i = index_on_or_before(date)
        return i if 0 <= i <= self.last and int(DAYS[i]) == date else None

    def intraday_day(self, key: tuple[int, str], index: int | None) -> int | None:
        """`index` if the security traded that day and its minutes are still kept."""
        if index is None:
            return None
        days = self._traded(key)
        kept = days[-(INTRADAY_DEPTH // MINUTES_PER_DAY):]
        pos = int(np.searchsorted(kept, index))
        return index if pos < len(kept) and kept[pos] == index else None

    @functools.lru_cache(maxsize=64)
    def minute_day(self, key: tuple[int, str], index: int) -> MinuteBars:
        days = self.day_columns(key, index, index + 1)
        m = page(self.history(key).key, days, 1, 0, len(days.day) * MINUTES_PER_DAY)
        rows = (-1, MINUTES_PER_DAY)
        return MinuteBars(days.day, m.open.reshape(rows), m.high.reshape(rows), m.low.reshape(rows),
                          m.close.reshape(rows), m.vol.reshape(rows), m.amount.reshape(rows))

    def minute_bars(self, key: tuple[int, str], index: int) -> list[Bar]:
        """The 240 one-minute bars of calendar day `index`."""
        m = self.minute_day(key, index)
        d = date_parts(int(DAYS[index]))
        return [Bar(d + divmod(int(s), 60), *row) for s, *row in
                zip(np_stamps(1), *(x[0].tolist() for x in m[1:]))]

    @functools.lru_cache(maxsize=64)
    def tick_columns(self, key: tuple[int, str], index: int) -> Ticks:
        return ticks(self.history(key).key, self.minute_day(key, index))

    def ticks(self, key: tuple[int, str], index: int) -> list[Tick]:
        return [Tick(*row) for row in zip(*(x.tolist() for x in self.tick_columns(key, index)))]

    def transactions(self, key: tuple[int, str], index: int, start: int,
                     count: int) -> list[Tick]:
        all_ticks = self.ticks(key, index)
        end = max(0, len(all_ticks) - start)
        return all_ticks[max(0, end - count):end]

    def traded_today(self, key: tuple[int, str]) -> bool:
        days = self._traded(key)
        return bool(days.size) and int(days[-1]) == self.last

    def quote(self, key: tuple[int, str]) -> Quote:
        """Today's closing quote: (today's day bar, last tick, sold volume, bought volume), or
        (None, None, 0, 0) when it did not trade today."""
        if self._closes is not None:
            return self._quotes.get(key, (None, None, 0, 0))
        if not self.traded_today(key):
            return None, None, 0, 0
        t = self.tick_columns(key, self.last)
        sold = int(t.vol[t.side == 1].sum())
        bar = self.bars(key, 9, 0, 1)[0]
        last = Tick(*(int(x[-1]) for x in t))
        return bar, last, sold, int(t.vol.sum()) - sold

    def book(self, sec: Security) -> list[Level]:
        """Five levels (bid, ask, bid volume, ask volume) around the last close; none for an
        index or a security that did not trade today."""
        if self._closes is not None:
            return self._books.get(sec.key, [(0, 0, 0, 0)] * 5)
        if sec.is_index or not self.traded_today(sec.key):
            return [(0, 0, 0, 0)] * 5
        return self._levels(sec, self.last_close(sec.key))

    def _levels(self, sec: Security, close: int) -> list[Level]:
        rng = random.Random(f"{self.seed}|{sec.market}|{sec.code}|book")
        return [(close - level, close + level, rng.randrange(1, 2000), rng.randrange(1, 2000))
                for level in range(1, 6)]


@functools.lru_cache(maxsize=8)
def np_stamps(minutes: int) -> npt.NDArray[np.int64]:
    """Minute of the day of each bar's stamp (its last minute) for bars of `minutes`."""
    from .minutes import MINUTE_STAMPS
    stamps: npt.NDArray[np.int64] = MINUTE_STAMPS[minutes - 1::minutes]
    return stamps
