"""The compiled intraday kernel (pelmora.testing._minutes) gives, bit for bit, the bars that
numpy's group(minute_bars(...)) gives for the same days, and any run of them."""
import os
import random
import shutil
import subprocess

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from pelmora.testing import SimulatedMarket
from pelmora.testing._minutes import intraday_bars
from pelmora.testing.history import DayBars
from pelmora.testing.minutes import group, minute_bars, page, tick_rows, ticks
from pelmora.testing.noise import uniform

PERIODS = (1, 5, 15, 30, 60)
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def assert_same(key, days, minutes, skip=0, take=None):
    want = [x.reshape(-1) for x in group(minute_bars(key, days), minutes)[1:]]
    take = want[0].size - skip if take is None else take
    got = page(key, days, minutes, skip, take)[1:]
    for name, g, w in zip(("open", "high", "low", "close", "vol", "amount"), got, want):
        assert g.dtype == w.dtype and g.tobytes() == w[skip:skip + take].tobytes(), \
            (key, minutes, name)


@pytest.fixture(scope="module")
def market():
    return SimulatedMarket(fill=40)


def test_served_days_of_every_kind(market):
    """Stocks, funds and indices, recent days, the first days after listing and a stretch
    across the suspension of 002415."""
    secs = {s.kind: s for s in market.securities(0) + market.securities(1)}
    keys = [s.key for s in secs.values()] + [(1, "600519"), (0, "002415"), (1, "000001")]
    gap = market.history((0, "002415")).suspensions[0]
    for key in keys:
        traded = market.traded_days(key)
        ranges = [(int(traded[-40:][0]), int(traded[-1]) + 1), (0, int(traded[:4][-1]) + 1)]
        if key == (0, "002415"):
            ranges.append((gap[0] - 20, gap[1] + 20))
        for a, b in ranges:
            days = market.day_columns(key, a, b)
            for minutes in PERIODS:
                assert_same(market.history(key).key, days, minutes, skip=minutes % 7)


def synthetic_days(day, level, spread, vol, turnover=1.0137):
    """Day bars around a price level: the open and close inside [low, high]; a turnover off
    the volume times the mean price, so that the minutes' shares of it round."""
    n = len(day)
    low = np.maximum(1, (level * (1 - spread)).astype(np.int64))
    high = low + np.maximum(0, (level * 2 * spread).astype(np.int64))
    open_ = low + (high - low) // 3
    close = high - (high - low) // 4
    vol = np.asarray(vol, np.int64)
    return DayBars(np.asarray(day, np.int64), open_, high, low, close, vol,
                   vol * (open_ + close) / 2.0 * turnover)


def test_days_that_touch_the_high_and_low_at_the_edges():
    """Days whose close touches the high or the low at the first or the last minute it can, or
    at adjacent minutes."""
    key = 0x0123456789ABCDEF
    calendar = np.arange(200_000)
    at_high = (uniform(key, 11, calendar) * 239).astype(np.int64)
    at_low = (uniform(key, 12, calendar) * 238).astype(np.int64)
    at_low = at_low + (at_low >= at_high)
    edges = (at_high == 0, at_high == 238, at_low == 0, at_low == 238, abs(at_high - at_low) == 1)
    day = np.unique(np.concatenate([np.flatnonzero(e)[:60] for e in edges]))
    assert all(e[day].sum() >= 20 for e in edges)
    n = len(day)
    for level in (1.0, 37.0, 512_345.0):
        days = synthetic_days(day, np.full(n, level), np.full(n, 0.08), np.arange(1, n + 1) * 977)
        for minutes in PERIODS:
            assert_same(key, days, minutes)


@settings(max_examples=60, deadline=None)
@given(key=st.integers(0, 2**64 - 1), first=st.integers(0, 12_000),
       n=st.integers(1, 30), level=st.floats(1, 3_000_000), spread=st.floats(0, 0.11),
       vol=st.integers(1, 10**9), turnover=st.floats(0.5, 2), minutes=st.sampled_from(PERIODS),
       data=st.data())
def test_any_run_of_any_days(key, first, n, level, spread, vol, turnover, minutes, data):
    days = synthetic_days(first + np.arange(n) * 2, np.full(n, level), np.full(n, spread),
                          np.full(n, vol) + np.arange(n), turnover)
    total = n * 240 // minutes
    skip = data.draw(st.integers(0, total - 1))
    assert_same(key, days, minutes, skip, data.draw(st.integers(0, total - skip)))


def _set(i, column):
    return lambda args: args["out"].__setitem__(i, column)


@settings(max_examples=40, deadline=None)
@given(key=st.integers(0, 2**64 - 1), day=st.integers(0, 12_000), level=st.floats(1, 3_000_000),
       spread=st.floats(0, 0.11), vol=st.one_of(st.integers(240, 2000), st.integers(1, 10**9)))
def test_ticks_of_a_day(key, day, level, spread, vol):
    """The compiled ticks are tick_rows' (few lots a minute leave some ticks without any)."""
    m = minute_bars(key, synthetic_days([day], np.array([level]), np.array([spread]), [vol]))
    for name, got, want in zip(("time", "price", "vol", "num", "side"), ticks(key, m),
                               tick_rows(key, m)):
        assert got.dtype == want.dtype and got.tobytes() == want[0].tobytes(), name


@pytest.mark.parametrize("spoil, error, match", [
    (lambda args: args.update(minutes=7), ValueError, "minutes must be 1, 5, 15, 30 or 60, not 7"),
    (lambda args: args.update(skip=470), ValueError,
     "the days hold 480 bars, fewer than 470 \\+ 20"),
    (lambda args: args.update(days=args["days"]._replace(high=np.full(2, 2**41))), ValueError,
     "day bar 0 lies beyond the simulated prices and volumes"),
    (lambda args: args.update(key=-1), OverflowError, ""),
    (lambda args: args.update(days=3), TypeError, "argument 'days': "),
    (lambda args: args["out"].pop(), ValueError, "out must hold 6 columns"),
    (_set(2, np.zeros(20, np.int32)), TypeError,
     "out\\[2\\] must be a one-dimensional int64 array"),
    (_set(4, np.zeros(19, np.int64)), ValueError, "the columns of out differ in length"),
    (_set(5, np.zeros(40)[::2]), ValueError, ""),
])
def test_misuse_is_refused(spoil, error, match):
    days = synthetic_days([5, 6], np.array([100.0, 100.0]), np.array([0.05, 0.05]), [10, 10])
    args = dict(key=1, days=days, minutes=1, skip=0,
                out=[np.zeros(20, np.int64) for _ in range(5)] + [np.zeros(20)])
    spoil(args)
    with pytest.raises(error, match="^" + match):
        intraday_bars(*args.values())


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
def test_two_lanes_write_what_four_do(tmp_path):
    """The SSE2 form of the kernel, which the module runs on processors without AVX2, agrees
    with the form the tests above check (the AVX2 one wherever the processor has it)."""
    seed = random.randrange(2**32)
    printed = []
    for flags in ([], ["-DPELMORA_SIM_BASELINE"]):
        exe = str(tmp_path / f"lanes{len(flags)}")
        subprocess.run(["g++", "-std=c++20", "-O2", "-ffp-contract=off", "-Wall", "-Wextra",
                        "-Wno-psabi", "-Werror", *flags, "-I", os.path.join(ROOT, "src"),
                        os.path.join(ROOT, "tests/cpp/minute_kernel_lanes.cpp"),
                        os.path.join(ROOT, "src/simulator/minute_kernel.cpp"), "-o", exe],
                       check=True)
        printed.append(subprocess.run([exe, str(seed)], capture_output=True, text=True,
                                      check=True).stdout)
    assert printed[0] == printed[1] and len(printed[0]) == 17, f"seed {seed}"
