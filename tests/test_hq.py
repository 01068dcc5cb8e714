"""pelmora.HQ: frames equal to _core's pages for the same requests, paging, start and end,
names of securities, bars_many's warnings and errors, and calls that leave the event loop
running. Servers are simulated ones in child processes."""
import asyncio
import subprocess
import sys
import time
import warnings

import numpy as np
import pandas as pd
import pytest

from pelmora import HQ, DataWarning, TdxClient
from pelmora.periods import to_period
from pelmora.testing import serve

from listed import volunit

SEED, FILL = 3, 60
PRICES = ["open", "high", "low", "close", "volume", "amount"]


@pytest.fixture(scope="module")
def server():
    with serve(seed=SEED, fill=FILL) as address:
        yield address


@pytest.fixture(scope="module")
def hq(server):
    with HQ([f"{server[0]}:{server[1]}"], connections=4) as h:
        yield h


def core_frame(server, category, market, code, index, count):
    """The latest `count` bars by _core's pages, as the frame HQ must give: volumes in units
    of the list's lot size."""
    c = TdxClient()
    c.connect(*server)
    get = c.get_index_bars if index else c.get_security_bars
    rows, start = [], 0
    while start < count:
        page = get(category, market, code, start, min(800, count - start))
        rows = page + rows
        if len(page) < min(800, count - start):
            break
        start += 800
    lot = volunit(c, market, code)
    c.disconnect()
    df = pd.DataFrame(rows).rename(columns={"vol": "volume"})
    df["volume"] *= lot
    times = pd.to_datetime(df.pop("datetime"))
    if category not in (0, 1, 2, 3, 7, 8):
        times = times.dt.normalize()  # _core says 15:00; frames stamp day bars at midnight
    df.index = pd.DatetimeIndex(times, name="datetime")
    return df.astype("float64")


@pytest.mark.parametrize("symbol, period, category, market, index, count", [
    ("600036", "day", 9, 1, False, 800),
    ("sz000001", "5m", 0, 0, False, 2000),       # pages past 800
    ("sh000001", "60m", 3, 1, True, 300),        # index bars
    ("sz399001", "week", 5, 0, True, 150),
    ("600519", "1m", 8, 1, False, 801),
])
def test_frames_equal_core_pages(hq, server, symbol, period, category, market, index, count):
    got = hq.bars(symbol, period=period, count=count)
    want = core_frame(server, category, market, symbol[-6:], index, count)
    assert len(got) == count
    pd.testing.assert_frame_equal(got, want, check_index_type=False)
    assert list(got.columns) == PRICES + (["up_count", "down_count"] if index else [])
    assert got.index.name == "datetime" and got.index.is_monotonic_increasing


@pytest.mark.parametrize("way", ["count", "start"])
def test_short_history_warns_once_per_security_and_period(server, way):
    full = core_frame(server, 9, 1, "600036", False, 60000)
    n, first = len(full), np.datetime64(full.index[0], "s")
    kwargs = {"count": n + 500} if way == "count" else {"start": "1980-01-01"}
    message = (f"^sh600036: {n} day bars, not {n + 500}: its history goes back only to {first}$"
               if way == "count" else f"^sh600036: the server's day bars go back only to {first}$")
    with HQ([f"{server[0]}:{server[1]}"], connections=2) as hq:
        with pytest.warns(DataWarning, match=message) as said:
            got = hq.bars("600036", **kwargs)
        assert said[0].filename == __file__  # the caller's line, however deep it was given
        pd.testing.assert_frame_equal(got, full, check_index_type=False)
        if way == "start":  # paged back for many securities at once
            with pytest.warns(DataWarning, match="^sh600036: .* month bars") as said:
                hq.bars_many(["600036"], "month", **kwargs)
            assert said[0].filename == __file__
        with warnings.catch_warnings():
            warnings.simplefilter("error", DataWarning)
            for name in ("600036", "sh600036", "600036.SH"):
                hq.bars(name, "D", **kwargs)
        with pytest.warns(DataWarning, match="^sh600036: .* week bars"):
            hq.bars("600036", "week", **kwargs)


@pytest.mark.parametrize("period, start, end, reach", [
    ("day", "2025-03-03", None, 1000),
    ("day", "2024-01-01", "2024-06-30", 1000),
    ("30m", "2025-05-20", "2025-05-28", 1600),
    ("day", None, "2025-01-10", 1000),
])
def test_start_and_end(hq, server, period, start, end, reach):
    # The same bounds as YYYYMMDD integers and as compact text give the same bars.
    for form in (lambda d: int(d.replace("-", "")), lambda d: d.replace("-", "")):
        if start or end:
            kwargs = {"count": 50} if start is None else {}
            pd.testing.assert_frame_equal(
                hq.bars("600036", period=period, start=start and form(start),
                        end=end and form(end), **kwargs),
                hq.bars("600036", period=period, start=start, end=end, **kwargs))
    category = {"day": 9, "30m": 2}[period]
    kwargs = {"count": 50} if start is None else {}
    got = hq.bars("600036", period=period, start=start, end=end, **kwargs)
    full = core_frame(server, category, 1, "600036", False, reach)
    keep = np.ones(len(full), dtype=bool)
    if start:
        keep &= full.index >= pd.Timestamp(start)
    if end:
        keep &= full.index < pd.Timestamp(end) + pd.Timedelta(days=1)
    want = full[keep]
    if start is None:
        want = want.iloc[-50:]
    pd.testing.assert_frame_equal(got, want, check_index_type=False)


# Every alias is read by to_period (test_symbols); here, that HQ reads a text, a category and a
# parsed period through it.
@pytest.mark.parametrize("alias, name", [(" d ", "day"), (9, "day"), ("5min", "5m"),
                                         (to_period("W"), "week")])
def test_periods_by_pandas_names(hq, alias, name):
    pd.testing.assert_frame_equal(hq.bars("600036", alias, count=20),
                                  hq.bars("600036", name, count=20))
    pd.testing.assert_frame_equal(hq.bars_many(["600036", "sz000001"], alias, count=20),
                                  hq.bars_many(["600036", "sz000001"], name, count=20))


@pytest.mark.parametrize("name", ["600036", "sh600036", "SH600036", "600036.SH", "600036.XSHG",
                                  (1, "600036")])
def test_names_as_users_write_them(hq, name):
    pd.testing.assert_frame_equal(hq.bars(name, count=5), hq.bars("sh600036", count=5))


@pytest.mark.parametrize("name, error, message", [
    ("bj430001", ValueError, "security 'bj430001' is of market bj"),
    ("830799", ValueError, "security '830799' is a code of market bj"),
    ("60003", ValueError, "invalid security '60003'"),
    ("600999", KeyError, "sh600999 is not in the security list of market sh"),
    ("sz600036", KeyError, "sz600036 is not in the security list of market sz"),
])
def test_bad_names(hq, name, error, message):
    with pytest.raises(error, match=message):
        hq.bars(name)


@pytest.mark.parametrize("kwargs, message", [
    ({"count": 10, "start": "2025-01-01"}, "give count or start, not both"),
    ({"count": 0}, "count must be an integer from 1 to 65,600, not 0"),
    ({"count": 10**9}, "count must be an integer from 1 to 65,600, not 1000000000"),
    ({"start": "2025-02-01", "end": "2025-01-01"}, "end '2025-01-01' is before start"),
    ({"start": "yesterday-ish"}, "invalid start 'yesterday-ish'"),
    # Dates are read one way only: a guess between day-first and month-first is refused, and an
    # integer is YYYYMMDD, never a count of nanoseconds.
    ({"start": "1/6/2025"}, "invalid start '1/6/2025': expected a date such as 2025-06-10"),
    ({"start": ""}, "invalid start ''"),
    ({"start": 2024}, "invalid start 2024: an integer date is YYYYMMDD"),
    ({"start": 20241301}, "invalid start 20241301"),
    ({"end": 20240101.0}, "invalid end 20240101.0: expected a date, not a number"),
    ({"end": True}, "invalid end True"),
    ({"period": "2h"}, "invalid period '2h': expected one of 1m, 5m, .* pandas' min, "),
    ({"period": "m"}, "invalid period 'm'"),
    ({"period": "1M"}, "ambiguous period '1M'"),
])
def test_bad_arguments(hq, kwargs, message):
    with pytest.raises(ValueError, match=message):
        hq.bars("600036", **kwargs)


def test_bars_many_is_one_long_frame(hq):
    names = ["600036", "sz000001", "sh000001", "sh600519"]
    big = hq.bars_many(names, period="day", count=900)
    assert isinstance(big.symbol.dtype, pd.CategoricalDtype)
    assert list(big.symbol.cat.categories) == ["sh600036", "sz000001", "sh000001", "sh600519"]
    assert list(big.columns) == ["symbol", "type"] + PRICES + ["up_count", "down_count"]
    types = big.groupby("symbol", observed=True)["type"].unique()
    assert {s: list(t) for s, t in types.items()} == {
        "sh600036": ["stock"], "sz000001": ["stock"], "sh000001": ["index"],
        "sh600519": ["stock"]}
    for name in big.symbol.cat.categories:
        one = hq.bars(name, count=900)
        part = big[big.symbol == name].drop(columns=["symbol", "type"])
        if name != "sh000001":
            assert part[["up_count", "down_count"]].isna().all().all()
            part = part.drop(columns=["up_count", "down_count"])
        pd.testing.assert_frame_equal(part, one)
    assert big.attrs == {"errors": {}, "empty": []}


def test_bars_many_with_start_and_end(hq):
    # An index among the stocks: their pages come back in the index layout.
    big = hq.bars_many(["600036", "sz000001", "sh000001"], period="15m", start="2025-06-01",
                       end="2025-06-05")
    for name in ("sh600036", "sz000001", "sh000001"):
        part = big[big.symbol == name].drop(columns=["symbol", "type"])
        if name != "sh000001":
            part = part.drop(columns=["up_count", "down_count"])
        pd.testing.assert_frame_equal(part, hq.bars(name, "15m", start="2025-06-01",
                                                     end="2025-06-05"))


def test_bars_many_names_what_failed(hq):
    with pytest.warns(DataWarning) as record:
        big = hq.bars_many(["600036", "bj430001", "600999", "sh600036"], count=10)
    assert big.symbol.unique().tolist() == ["sh600036"] and len(big) == 10
    assert list(big.attrs["errors"]) == ["bj430001", "sh600999"]
    assert big.attrs["errors"]["sh600999"].startswith("KeyError: ")
    text = str(record[0].message)
    assert text.startswith("2 of 3 securities failed: bj430001 (ValueError: ")
    assert "sh600999 (KeyError: " in text
    with pytest.raises(KeyError, match="sh600999"):
        hq.bars_many(["600036", "600999"], errors="raise")
    with pytest.raises(KeyError, match="^'no security could be fetched: sh600999: sh600999 is "
                                       "not in the security list of market sh'$"):
        hq.bars_many(["600999"])


def test_a_single_name_is_one_security(hq):
    pd.testing.assert_frame_equal(hq.bars_many("sh600036", count=20),
                                  hq.bars_many(["sh600036"], count=20))
    assert list(hq.bars_many((0, "000001"), count=5).symbol.unique()) == ["sz000001"]
    assert list(hq.bars_many("600036", start="2025-06-01").symbol.unique()) == ["sh600036"]


@pytest.mark.parametrize("kwargs, pages", [({"count": 2000}, 3), ({"start": "2022-01-01"}, 2)])
def test_progress_counts_securities(hq, kwargs, pages):
    names = ["600036", "sz000001", "sh000001", "sh600519", "600036", "600999"]
    calls = []
    before = hq.bar_requests
    with pytest.warns(DataWarning, match="sh600999"):
        hq.bars_many(names, progress=lambda done, total: calls.append((done, total)), **kwargs)
    assert hq.bar_requests - before == 4 * pages  # requests are counted apart
    assert calls[-1] == (4, 4) and {t for _, t in calls} == {4}
    assert [d for d, _ in calls] == sorted(set(d for d, _ in calls))
    calls.clear()
    hq.quotes(names[:4], progress=lambda done, total: calls.append((done, total)))
    assert calls[-1] == (4, 4)


def test_calls_leave_the_event_loop_running():
    async def main(hq):
        ticks = 0

        async def ticker():
            nonlocal ticks
            while True:
                await asyncio.sleep(0.01)
                ticks += 1

        task = asyncio.create_task(ticker())
        t0 = time.monotonic()
        df = await asyncio.to_thread(hq.bars_many, ["600036", "000001", "600519"], "day", 2400)
        elapsed = time.monotonic() - t0
        task.cancel()
        return df, ticks, elapsed

    with serve(seed=SEED, fill=FILL, latency=100) as (host, port):
        with HQ([f"{host}:{port}"], connections=2) as hq:
            hq.bars("600036", count=1)  # lists fetched and the connections opened first
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DataWarning)
                df, ticks, elapsed = asyncio.run(main(hq))
    assert len(df) == 3 * 2400 and elapsed > 0.3
    # The loop ticked about every 10 ms throughout.
    assert ticks >= elapsed / 0.01 * 0.5


def test_import_is_light():
    code = "import sys, pelmora; print('pandas' in sys.modules or 'numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True)
    assert out.stdout.strip() == "False", out.stderr


def test_servers_come_from_the_environment_when_not_given(server, monkeypatch):
    monkeypatch.setenv("PELMORA_SERVERS", f"{server[0]}:{server[1]}")
    with HQ(connections=1) as h:
        assert h.bars("600036", count=5).shape == (5, 6)
    monkeypatch.setenv("PELMORA_SERVERS", "")
    monkeypatch.setenv("XDG_CONFIG_HOME", "/nonexistent-pelmora-test")
    with pytest.raises(LookupError, match="no HQ server configured"):
        HQ()
