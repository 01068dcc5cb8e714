"""pelmora.HQ's other commands against the simulated server: frames equal to _core's pages,
every page of lists, whole days of ticks, minutes with their times, servers set aside."""
import warnings

import numpy as np
import pandas as pd
import pytest

from pelmora import HQ, DataWarning, TdxClient
from pelmora.hq.quotes import PRICES as QUOTE_PRICES, VOLUMES as QUOTE_VOLUMES

from pelmora.instruments import TYPES, kind_of

from listed import in_units, security_list

CODES = [(1, "600036"), (0, "000001"), (1, "000001"), (0, "399001"), (1, "600519")]


@pytest.fixture(scope="module")
def hq(sim):
    with HQ([f"{sim.host}:{sim.port}"], connections=4) as h:
        yield h


@pytest.fixture(scope="module")
def core(sim):
    c = TdxClient()
    c.connect(sim.host, sim.port)
    yield c
    c.disconnect()


@pytest.mark.parametrize("market", ["sh", "sz"])
def test_securities_are_every_page(hq, core, market):
    m = 1 if market == "sh" else 0
    rows = [r for start in range(0, core.get_security_count(m), 1000)
            for r in core.get_security_list(m, start)]
    got = hq.securities(market)
    assert len(rows) > 1000
    assert list(got.index) == [market + r["code"] for r in rows]
    # The list's previous close is left to the quotes; each security gets its type.
    assert list(got.columns) == ["code", "name", "type", "volunit", "decimal_point"]
    want = pd.DataFrame(rows, index=got.index)[["code", "name", "volunit", "decimal_point"]]
    pd.testing.assert_frame_equal(got.drop(columns="type"), want, check_dtype=False)
    assert list(got["type"].cat.categories) == list(TYPES)
    assert got["type"].tolist() == [kind_of(m, r["code"], r["decimal_point"]).type
                                    for r in rows]


def test_xdxr_and_finance_equal_core_records(hq, core):
    from pelmora.events import finance_frame, xdxr_frame
    names = [f"{'sh' if m else 'sz'}{c}" for m, c in CODES]
    many, fins = hq.xdxr_many(names), hq.finance_many(names)
    assert any(len(f) for f in many.values())
    for market, code in CODES:
        name = ("sh" if market else "sz") + code
        want = xdxr_frame(core.get_xdxr_info(market, code))
        pd.testing.assert_frame_equal(hq.xdxr(name), want)
        pd.testing.assert_frame_equal(many[name], want)
        want = finance_frame(core.get_finance_info(market, code))
        pd.testing.assert_frame_equal(hq.finance(name), want)
        pd.testing.assert_frame_equal(fins[name], want)


@pytest.mark.parametrize("command", ["ticks", "minutes", "xdxr", "finance", "factors"])
def test_unlisted_codes_are_named_not_answered_empty(hq, command):
    with pytest.raises(KeyError, match="sz999999 is not in the security list"):
        getattr(hq, command)("sz999999")


def test_unlisted_codes_in_many_records_are_named(hq):
    with pytest.warns(DataWarning, match=r"no events for 1 of 2 securities: sz999999 \(KeyError"):
        got = hq.xdxr_many(["sh600036", "sz999999"])
    assert list(got) == ["sh600036"]
    with pytest.raises(KeyError, match="no security could be fetched: sz999999"):
        hq.finance_many(["sz999999"])


def test_quotes_equal_core_and_name_the_unanswered(hq, core):
    names = [("sh" if m else "sz") + c for m, c in CODES]
    with pytest.warns(DataWarning, match="sz999999"):
        got = hq.quotes(names + ["sz999999"])
    assert got.attrs["missing"] == ["sz999999"]
    want = pd.DataFrame(core.get_security_quotes(CODES))
    lists = {m: security_list(core, m) for m in (0, 1)}
    want = in_units(want, [lists[m][c] for m, c in CODES], QUOTE_PRICES, QUOTE_VOLUMES)
    want.index = pd.Index(names, name="symbol")
    assert (want["servertime"] == 15000000).all()  # the close, 15:00:00.00
    want["servertime"] = pd.Timestamp(hq.trading_day()) + pd.Timedelta(hours=15)
    pd.testing.assert_frame_equal(got, want[list(got.columns)], check_dtype=False)
    assert got["price"].dtype == np.float64 and got["vol"].dtype == np.float64
    assert got["servertime"].dtype == "M8[s]"
    # A loop of quotes asks for the day they are dated by once a minute, not every time.
    asked = hq.bar_requests
    hq.quotes(names[:2]), hq.quotes(names[:2])
    assert hq.bar_requests == asked


def test_servertime_packs_a_time_of_day():
    from pelmora.hq.quotes import clock_time
    packed = [15000000, 9300512, 0, 23595999, -7, 24000000, 9610000, 9306000]
    got = pd.Series(clock_time(packed))
    want = pd.to_timedelta(["15:00:00", "09:30:05", "00:00:00", "23:59:59", None, None, None,
                            None])
    pd.testing.assert_series_equal(got, pd.Series(want).astype("m8[s]"))


@pytest.mark.parametrize("call", ["quotes", "xdxr_many", "finance_many"])
def test_a_single_name_is_one_security(hq, call):
    one, listed = getattr(hq, call)("600036"), getattr(hq, call)(["600036"])
    if call == "quotes":
        assert list(one.index) == ["sh600036"]
        pd.testing.assert_frame_equal(one, listed)
    else:
        assert list(one) == ["sh600036"]
        pd.testing.assert_frame_equal(one["sh600036"], listed["sh600036"])


def test_quotes_without_codes_sweep_both_markets(hq):
    with warnings.catch_warnings():
        warnings.simplefilter("error", DataWarning)
        got = hq.quotes()
    listed = [s for m in ("sz", "sh") for s in hq.securities(m).index]
    assert list(got.index) == listed and len(listed) > 2000


def core_ticks(core, market, code, number):
    rows, start = [], 0
    while True:
        page = (core.get_history_transaction_data(market, code, start, 2000, number) if number
                else core.get_transaction_data(market, code, start, 2000))
        rows = page + rows
        if len(page) < 2000:
            return pd.DataFrame(rows)
        start += 2000


@pytest.mark.parametrize("page", [2000, 300])
@pytest.mark.parametrize("date", [None, "2025-06-10", 20250610])
def test_ticks_are_the_whole_day_in_order(hq, core, monkeypatch, page, date):
    import pelmora.hq.intraday
    monkeypatch.setattr(pelmora.hq.intraday, "TICK_PAGE", page)
    day = pd.Timestamp(str(date)) if date else pd.Timestamp(hq.trading_day())
    got = hq.ticks("600036", date=date)
    want = core_ticks(core, 1, "600036", int(day.strftime("%Y%m%d")) if date else 0)
    want = in_units(want, security_list(core, 1)["600036"], ["price"], ["vol"])
    assert len(got) > 300 and (got["seq"] == np.arange(len(got))).all()
    times = pd.to_datetime(day.strftime("%Y-%m-%d ") + want.pop("time"))
    assert (got.index == times).all() and got.index.is_monotonic_increasing
    pd.testing.assert_frame_equal(got.drop(columns="seq").reset_index(drop=True), want,
                                  check_dtype=False)


@pytest.mark.parametrize("date", [None, "2025-06-10", 20250610])
def test_minutes_are_240_with_their_times(hq, core, date):
    got = hq.minutes("sz000001", date=date)
    day = pd.Timestamp(str(date) if date else hq.trading_day())
    want = pd.DataFrame(core.get_history_minute_time_data(0, "000001", int(day.strftime(
        "%Y%m%d"))) if date else core.get_minute_time_data(0, "000001"))
    want = in_units(want, security_list(core, 0)["000001"], ["price"], ["vol"])
    pd.testing.assert_frame_equal(got.reset_index(drop=True), want, check_dtype=False)
    assert len(got) == 240
    clock = got.index.strftime("%H:%M")
    assert list(clock[[0, 119, 120, 239]]) == ["09:31", "11:30", "13:01", "15:00"]
    assert (got.index.normalize() == day).all()


@pytest.mark.parametrize("call", [
    lambda hq: hq.quotes(["600036", "000001"]),
    lambda hq: hq.ticks("600036"),
    lambda hq: hq.minutes("600036"),
    lambda hq: hq.securities("sh"),
])
def test_quote_only_servers_are_set_aside_for_every_command(call):
    from pelmora.testing import serve
    with serve(servers=[{"quote_only": True}, {}], seed=3, fill=60) as addresses:
        # one connection: its first server is the quote-only one
        with HQ([f"{h}:{p}" for h, p in addresses], connections=1) as hq, \
                pytest.warns(DataWarning, match="quote-only"):
            got = call(hq)
        assert len(got) > 0


def every_kind(hq):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DataWarning)
        return [hq.quotes(), hq.ticks("sz000001"), hq.minutes("sh600036"),
                *hq.xdxr_many(["sh600036", "sz000001", "sh600519"]).values(),
                hq.securities("sz")]


@pytest.mark.parametrize("fault", [
    {"stall_every": 4}, {"drop_after": 3}, {"cut_answer": 2}, {"garbage_every": 3}])
def test_faulty_server_beside_a_good_one_loses_nothing(fault):
    from pelmora.testing import serve
    with serve(seed=5, fill=10, servers=[{}, fault, {}]) as addresses:
        with HQ([f"{h}:{p}" for h, p in addresses[:1]], connections=2) as hq:
            want = every_kind(hq)
        with HQ([f"{h}:{p}" for h, p in addresses[1:]], connections=4, timeout=3.0) as hq:
            got = every_kind(hq)
    for g, w in zip(got, want):
        pd.testing.assert_frame_equal(g, w)


@pytest.mark.parametrize("kind, queries, error", [
    ("bars", [(1, "600036", 0, 1, 0)], ValueError),
    ("ticks", [(2, "600036", 0, 1, 0)], ValueError),
    ("ticks", [(1, "600036", 0)], TypeError),
    ("quotes", [[(1, "600036")] * 9361], ValueError),
    ("quotes", [[]], ValueError),
])
def test_table_queries_are_checked(hq, kind, queries, error):
    with pytest.raises(error):
        hq.fetch.table(kind, queries)
