"""Adjusted prices do not depend on the window asked for: every method and period, over many
random windows, from HQ, the store and the command line, equal the whole daily history adjusted
then cut (minute bars by their day's map, longer bars rebuilt from the adjusted days)."""
import io
import random

import numpy as np
import pandas as pd
import pytest

from pelmora import HQ
from pelmora.hq import adjusted
from pelmora.adjust import METHODS, adjust, resample_daily
from pelmora.cli import main
from pelmora.files import read_day_frame
from pelmora.store import Store, sync
from pelmora.testing import SimulatedMarket, SimulatedServer
from pelmora.testing.vipdoc import write_vipdoc

SEED, FILL, TODAY = 5, 6, 20250613
CODES = ["600036", "000001"]
LONG = ["week", "month", "quarter", "year"]
MINUTE = ["1m", "5m", "15m", "30m", "60m"]
PRICES = ["open", "high", "low", "close"]
WINDOWS = 3  # random windows per method and period

# Windows that start before a listing are short: said in warnings these tests do not need.
pytestmark = pytest.mark.filterwarnings("ignore::pelmora.DataWarning")


@pytest.fixture(scope="module")
def server():
    with SimulatedServer(seed=SEED, fill=FILL, today=TODAY) as s:
        yield s


@pytest.fixture(scope="module")
def hq(server):
    with HQ([server.address], connections=4) as hq:
        yield hq


@pytest.fixture(scope="module")
def whole(hq):
    """Each security's whole daily history and its events."""
    return {c: (hq.bars(c, start="1990-01-01"), hq.xdxr(c)) for c in CODES}


def expected(raw, daily, events, method, period, as_of=None):
    """`raw` (bars of a window) as the whole daily history adjusts them."""
    if period in LONG:
        built = resample_daily(adjust(daily, events, method, as_of=as_of), period)
        return built.loc[raw.index]
    # Each day's map A*p + B, read off two columns set to 0 and 1 (the closes, which the
    # proportional factors are measured on, kept).
    probe = adjust(daily.assign(open=0.0, high=1.0), events, method, as_of=as_of)
    day = raw.index.normalize()
    a = (probe["high"] - probe["open"]).reindex(day).to_numpy()
    b = probe["open"].reindex(day).to_numpy()
    return raw.assign(**{c: raw[c].to_numpy() * a + b for c in PRICES})


def windows(rng, period, first, last):
    """Random windows as keyword arguments: start and end, count alone, count and end."""
    days = pd.date_range(first, last, freq="D")
    for _ in range(WINDOWS):
        a, b = sorted(rng.sample(range(len(days)), 2))
        span = {"start": days[a].date().isoformat(), "end": days[b].date().isoformat()}
        yield rng.choice([span, {"count": rng.randint(1, 900)},
                          {"count": rng.randint(1, 300), "end": span["end"]}])


def depth(hq, period):
    """The first day the servers keep bars of `period` for (a year back for the long ones)."""
    if period == "day" or period in LONG:
        return pd.Timestamp("2002-01-01")
    return hq.bars(CODES[0], period, count=24000 if period in ("1m", "5m") else 8000
                   ).index[0].normalize() + pd.Timedelta(days=1)


def assert_equal(got, want, what, rtol=1e-12):
    # (by value: a frame read back from CSV has nanoseconds, and pandas 2.2 tells the units
    # apart)
    assert len(got) and list(got.index.values.astype("M8[s]")) == \
        list(want.index.values.astype("M8[s]")), what
    np.testing.assert_allclose(got[PRICES].to_numpy(), want[PRICES].to_numpy(), rtol=rtol,
                               atol=1e-9, err_msg=str(what))


@pytest.mark.parametrize("period", ["day", *LONG, *MINUTE])
def test_hq_windows_equal_the_whole_history_adjusted(hq, whole, period):
    seed = f"{SEED}-{period}"
    rng = random.Random(seed)
    daily, events = whole[CODES[0]]
    first = depth(hq, period)
    for method in METHODS:
        for kwargs in windows(rng, period, first, daily.index[-1]):
            if period == "60m" and "count" not in kwargs:
                kwargs = {"count": rng.randint(1, 900)}  # the simulator pages 60m bars by count
            what = (method, period, kwargs, f"seed {seed}")
            raw = hq.bars(CODES[0], period, **kwargs)
            if raw.empty:
                continue
            got = hq.bars(CODES[0], period, adjust=method, **kwargs)
            assert_equal(got, expected(raw, daily, events, method, period), what)


@pytest.mark.parametrize("period", ["day", "week", "5m"])
def test_hq_many_windows_equal_the_whole_history_adjusted(hq, whole, period):
    rng = random.Random(f"{SEED}-{period}-many")
    for method in METHODS:
        for kwargs in windows(rng, period, depth(hq, period), whole[CODES[0]][0].index[-1]):
            many = hq.bars_many(CODES, period, adjust=method, **kwargs)
            assert set(many["type"]) <= {"stock"}  # the adjusted frame keeps its type column
            for code, name in zip(CODES, ["sh600036", "sz000001"]):
                got = many[many["symbol"] == name].drop(columns="symbol")
                if got.empty:
                    continue
                raw = hq.bars(code, period, **kwargs)
                daily, events = whole[code]
                assert_equal(got, expected(raw, daily, events, method, period),
                             (method, period, code, kwargs))


def test_as_of_leaves_later_events_out(hq, whole):
    daily, events = whole[CODES[0]]
    dates = events.index[events["category"] == 1].unique()
    window = {"start": str(dates[3].date()), "end": str(dates[6].date())}
    for method in METHODS:
        for as_of in (dates[5] - pd.Timedelta(days=1), dates[-3], dates[1]):
            got = hq.bars(CODES[0], adjust=method, as_of=as_of, **window)
            # The same as the events known by then, without as_of.
            known = events[events.index <= as_of]
            want = adjust(daily, known, method).loc[got.index]
            assert_equal(got, want, (method, as_of))
        latest = hq.bars(CODES[0], adjust=method, **window)
        assert not np.allclose(latest["close"], got["close"]), method


def test_a_suspension_longer_than_the_margin_is_fetched_further_back(hq, whole, monkeypatch):
    # No margin at all: the daily bars fetched from an ex-date on never hold the close before
    # it, which is fetched again further back.
    monkeypatch.setattr(adjusted, "MARGIN_DAYS", 0)
    daily, events = whole[CODES[0]]
    for method in ("qfq-ratio", "hfq-ratio"):
        for period in ("day", "30m", "month"):
            raw = hq.bars(CODES[0], period, count=40, end="2024-01-10")
            got = hq.bars(CODES[0], period, count=40, end="2024-01-10", adjust=method)
            assert_equal(got, expected(raw, daily, events, method, period), (method, period))


@pytest.fixture(scope="module")
def store(server, tmp_path_factory):
    folder = tmp_path_factory.mktemp("store")
    summary = sync(folder, [server.address], symbols=CODES, periods=["day", "5m"],
                   connections=2)
    assert summary.ok
    with Store(folder) as store:
        yield store


@pytest.mark.parametrize("period", ["day", "5m"])
def test_store_windows_equal_the_whole_stored_history_adjusted(store, hq, period):
    rng = random.Random(f"{SEED}-{period}-store")
    daily, events = store.bars(CODES[0]), store.xdxr(CODES[0])
    for method in METHODS:
        for kwargs in windows(rng, period, depth(hq, period), daily.index[-1]):
            raw = store.bars(CODES[0], period, **kwargs)
            if raw.empty:
                continue
            got = store.bars(CODES[0], period, adjust=method, **kwargs)
            assert_equal(got, expected(raw, daily, events, method, period), (method, kwargs))
            many = store.bars_many(CODES, period, adjust=method, **kwargs)
            assert_equal(many[many["symbol"] == "sh600036"].drop(columns="symbol"), got,
                         (method, kwargs))
        # Before the event of 2024-07-24, which counts for the window only without as_of.
        as_of = events.index[events["category"] == 1][-3]
        got = store.bars(CODES[0], period, count=30, end="2024-07-01", adjust=method,
                         as_of=as_of)
        want = expected(store.bars(CODES[0], period, count=30, end="2024-07-01"), daily,
                        events[events.index <= as_of], method, period)
        assert_equal(got, want, (method, as_of))


def test_command_line_windows_equal_the_whole_history_adjusted(server, whole, tmp_path,
                                                               capsys):
    daily, events = whole[CODES[0]]
    write_vipdoc(SimulatedMarket(seed=SEED, fill=FILL, today=TODAY), tmp_path)
    path = tmp_path / "vipdoc" / "sh" / "lday" / "sh600036.day"
    local = read_day_frame(path)
    window = ["--start", "2004-02-10", "--end", "2004-02-16"]
    for method in METHODS:
        for argv, source in [(["bars", CODES[0], "-s", server.address], daily),
                             (["day", str(path), "--events-from", server.address], local)]:
            assert main([*argv, *window, "--adjust", method, "--csv"]) == 0
            got = pd.read_csv(io.StringIO(capsys.readouterr().out), index_col="datetime",
                              parse_dates=True)
            want = adjust(source, events, method).loc["2004-02-10":"2004-02-16"]
            # Printed to seven significant digits.
            assert_equal(got, want, (argv[0], method), rtol=5e-7)
