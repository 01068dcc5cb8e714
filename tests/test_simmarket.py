"""The simulated market at scale, read through TdxClient: history lengths, suspensions and
delistings, the ex-rights reference price on every ex-date, depth limits, a later `today`,
and the vipdoc folder."""
import collections
import datetime
import os
import subprocess
import sys

import pytest

import pelmora
from pelmora import TdxClient, read_daily_bars, read_minute_bars
from pelmora.testing import INTRADAY_DEPTH, SimulatedMarket, quantize_volume, serve
from pelmora.testing.vipdoc import write_vipdoc


def all_day_bars(client, key, index=False):
    read = client.get_index_bars if index else client.get_security_bars
    out, start = [], 0
    while page := read(9, *key, start, 800):
        out[:0] = page
        start += 800
    return out


def reference(prev, records):
    cash = sum(r["fenhong"] for r in records) / 10
    bonus = sum(r["songzhuangu"] for r in records) / 10
    rights = sum(r["peigu"] for r in records) / 10
    price = max(r["peigujia"] for r in records)
    return (prev - cash + price * rights) / (1 + bonus + rights)


def featured_keys(market):
    """Stocks whose histories show a two-record ex-date, an ex-date inside a suspension and
    an ex-date announced after the last bar."""
    want = {"two": None, "suspended": (0, "002415"), "announced": None}
    for sec in market.securities(1)[:400] + market.securities(0)[:400]:
        if sec.kind != "stock":
            continue
        dates = collections.Counter(e.date for e in market.events(sec.key) if e.category == 1)
        if want["two"] is None and any(n > 1 for d, n in dates.items() if d <= market.today):
            want["two"] = sec.key
        if want["announced"] is None and any(d > market.today for d in dates):
            want["announced"] = sec.key
    assert None not in want.values()
    return want


def test_every_ex_date_opens_at_its_reference_price(sim_client, sim_market):
    """Raw prices continue from the reference price, all records of one day as one event;
    every day stays within 10% of its previous close (the reference price on ex-dates)."""
    keys = featured_keys(sim_market)
    seen = collections.Counter()
    for what, key in keys.items():
        bars = all_day_bars(sim_client, key)
        assert len(bars) == len(sim_market.traded_days(key))
        dates = [int(b["datetime"][:10].replace("-", "")) for b in bars]
        records = collections.defaultdict(list)
        for r in sim_client.get_xdxr_info(*key):
            if r["category"] == 1:
                records[r["year"] * 10000 + r["month"] * 100 + r["day"]].append(r)
        pending = sorted(records)
        assert pending[-1] > dates[-1] or what != "announced"
        for i in range(1, len(bars)):
            prev = bars[i - 1]["close"]
            while pending and pending[0] <= dates[i - 1]:
                pending.pop(0)
            applied = [d for d in pending if d <= dates[i]]
            for d in applied:
                prev = reference(prev, records[d])
                seen["two" if len(records[d]) > 1 else "one"] += 1
                seen["suspended"] += d < dates[i]
                pending.remove(d)
            if applied:
                assert abs(bars[i]["open"] - prev) <= 0.005 + 1e-9, (key, dates[i])
                prev = round(prev, 2)
            limit = round(prev * 1.1, 2) + 0.0100001, round(prev * 0.9, 2) - 0.0100001
            assert bars[i]["high"] <= limit[0] and bars[i]["low"] >= limit[1], (key, dates[i])
    assert seen["one"] and seen["two"] and seen["suspended"]


def test_pre_close_on_an_ex_date_is_the_reference_price():
    market = SimulatedMarket(fill=20)
    key = (1, "600036")
    dates = sorted({e.date for e in market.history(key).events
                    if e.category == 1 and e.date < market.today})
    exdate = dates[-1]
    with serve(fill=20, today=exdate) as (host, port):
        c = TdxClient()
        c.connect(host, port)
        *_, before, today = c.get_security_bars(9, *key, 0, 2)
        records = [r for r in c.get_xdxr_info(*key) if r["category"] == 1 and
                   r["year"] * 10000 + r["month"] * 100 + r["day"] == exdate]
        ref = reference(before["close"], records)
        quote, = c.get_security_quotes([key])
        listed = {r["code"]: r["pre_close"] for r in c.get_security_list(1, 0)}
        assert abs(quote["last_close"] - ref) <= 0.005 + 1e-9 and today["open"] == \
            quote["last_close"] != before["close"]
        assert listed["600036"] == quantize_volume(quote["last_close"])


def test_histories_differ_in_length_with_gaps_and_delistings():
    market = SimulatedMarket()
    assert (len(market.securities(1)), len(market.securities(0))) == (2288, 2912)
    secs = market.securities(1) + market.securities(0)
    kinds = collections.Counter(s.kind for s in secs)
    assert kinds["stock"] > 4500 and kinds["fund"] > 100 and kinds["index"] > 20
    lengths = {s.key: len(market.traded_days(s.key)) for s in secs[::7]}
    assert max(lengths.values()) >= 8000 and min(lengths.values()) < 20
    delisted = [s for s in secs if s.delisted]
    assert delisted and all(market.traded_days(s.key)[-1] < market.last - 10 for s in delisted)
    gap = market.history((0, "002415"))
    days = set(market.traded_days((0, "002415")).tolist())
    assert all(not days & set(range(a, b)) for a, b in gap.suspensions)


def test_a_later_today_adds_days_and_changes_none():
    early, late = SimulatedMarket(fill=30), SimulatedMarket(fill=30, today=20250725)
    assert late.days[:len(early.days)] == early.days and len(late.days) == len(early.days) + 30
    for key in [(1, "600519"), (0, "002415")] + [s.key for s in early.securities(0)[-5:]]:
        a, b = early.day_bars(key), late.day_bars(key)
        assert b[:len(a)] == a and len(b) > len(a) - 1
        assert [e for e in late.events(key) if e.date <= early.today] == \
            [e for e in early.events(key) if e.date <= early.today]
    assert early.bars((0, "300750"), 8, 30 * 240, 240) == late.bars((0, "300750"), 8, 60 * 240, 240)


@pytest.mark.parametrize("category, per_day", [(8, 240), (0, 48), (3, 4)])
def test_intraday_depth(sim_client, sim_market, category, per_day):
    key = (1, "600000")
    days = [d for d in sim_market.traded_days(key) if sim_market.days[d] >= 20040101]
    # Kept: the depth, or every bar since 2004 (a minute bar's date cannot hold earlier years).
    kept = min(INTRADAY_DEPTH, len(days) * per_day)
    assert len(sim_market.traded_days(key)) * per_day > INTRADAY_DEPTH
    last = sim_client.get_security_bars(category, *key, kept - 5, 800)
    assert len(last) == 5 and sim_client.get_security_bars(category, *key, kept, 10) == []
    assert int(last[0]["datetime"][:4]) >= 2004
    day = sim_market.days[sim_market.traded_days(key)[-INTRADAY_DEPTH // 240 - 1]]
    assert sim_client.get_history_minute_time_data(*key, day) == []
    assert sim_client.get_history_transaction_data(*key, 0, 10, day) == []


def test_vipdoc_holds_the_served_bars(tmp_path):
    market = SimulatedMarket(seed=3, fill=10)
    write_vipdoc(market, tmp_path, minute_codes=((0, "300750"),))
    root = os.path.dirname(os.path.dirname(pelmora.__file__))  # the pelmora under test
    done = subprocess.run([sys.executable, "-P", "-m", "pelmora.testing", "--seed", "3", "--fill",
                           "10", "--write-vipdoc", str(tmp_path / "cli")], capture_output=True,
                          text=True, timeout=120, env={**os.environ, "PYTHONPATH": root})
    assert done.returncode == 0 and done.stdout.startswith("wrote 56 files under ")
    assert (tmp_path / "cli" / "vipdoc" / "sz" / "lday" / "sz300750.day").read_bytes() == \
        (tmp_path / "vipdoc" / "sz" / "lday" / "sz300750.day").read_bytes()
    with serve(seed=3, fill=10) as (host, port):
        c = TdxClient()
        c.connect(host, port)
        # Each file where the readers look for it; its values are those of day_file_bytes,
        # which test_simmarket_types checks against the served bars.
        for key, prefix in (((1, "600036"), "sh"), ((0, "300750"), "sz")):
            local = read_daily_bars(str(tmp_path / "vipdoc" / prefix / "lday" /
                                        f"{prefix}{key[1]}.day"))
            assert [b["datetime"][:10] for b in all_day_bars(c, key)] == \
                [b["date"] for b in local]
        lc1 = read_minute_bars(str(tmp_path / "vipdoc" / "sz" / "minline" / "sz300750.lc1"))
        assert len(lc1) == INTRADAY_DEPTH
        recent = c.get_security_bars(8, 0, "300750", 0, 800)
        assert [b["datetime"] for b in recent] == [b["datetime"] for b in lc1[-800:]]
        assert [b["close"] for b in recent] == \
            [round(b["close"], 2) for b in lc1[-800:]]
    assert len(list((tmp_path / "vipdoc" / "sh" / "lday").iterdir())) == 16
    assert datetime.date.fromisoformat(local[-1]["date"]).strftime("%Y%m%d") == str(market.today)


@pytest.mark.parametrize("category, minutes, start, count", [
    (0, 5, 7, 800), (1, 15, 3, 800), (2, 30, 1, 790), (3, 60, 5, 390)])
def test_intraday_pages_group_the_one_minute_series(category, minutes, start, count):
    """Pages that begin and end inside a day and span up to a hundred days, a suspension
    among them."""
    import numpy as np
    market = SimulatedMarket(fill=10)
    for key in [(1, "600036"), (0, "002415"), (0, "399006")]:
        page = market.bar_columns(key, category, start, count)
        ones = market.bar_columns(key, 8, start * minutes, count * minutes)
        assert len(page.date) == count and len(ones.date) == count * minutes

        def cut(x):
            return x.reshape(count, minutes)
        for got, want in [(page.date, cut(ones.date)[:, -1]),
                          (page.minute, cut(ones.minute)[:, -1]), (page.open, cut(ones.open)[:, 0]), (page.close, cut(ones.close)[:, -1]),
                          (page.high, cut(ones.high).max(axis=1)),
                          (page.low, cut(ones.low).min(axis=1)),
                          (page.vol, cut(ones.vol).sum(axis=1))]:
            assert got.tolist() == want.tolist()
        assert np.allclose(page.amount, cut(ones.amount).sum(axis=1), rtol=1e-12, atol=0)


@pytest.mark.parametrize("key", [(1, "600036"), (0, "399006"), (0, "002415")])
def test_minutes_of_past_days_make_their_day_bars(sim_client, key):
    read = sim_client.get_index_bars if key == (0, "399006") else sim_client.get_security_bars
    days = read(9, *key, 0, 3)
    minutes = read(8, *key, 0, 3 * 240)
    assert len(minutes) == 3 * 240
    for day, i in zip(days, range(0, len(minutes), 240)):
        group = minutes[i:i + 240]
        assert {m["datetime"][:10] for m in group} == {day["datetime"][:10]}
        assert (group[0]["open"], group[-1]["close"]) == (day["open"], day["close"])
        assert max(m["high"] for m in group) == day["high"]
        assert min(m["low"] for m in group) == day["low"]
        assert sum(m["vol"] for m in group) == pytest.approx(day["vol"], rel=1e-6)
        assert all(m["low"] <= min(m["open"], m["close"]) <= max(m["open"], m["close"])
                   <= m["high"] for m in group)


def test_column_encoders_match_the_scalar_ones():
    import random
    import numpy as np
    from pelmora.testing import encode_price, encode_volume
    from pelmora.testing.wire import price_columns, records, volume_columns
    rng = random.Random(5)
    ints = [0, 63, -64, 8191, -8192, 2**62] + [rng.randrange(-2**40, 2**40) >> rng.randrange(40)
                                              for _ in range(3000)]
    assert records(price_columns(np.array(ints))) == b"".join(map(encode_price, ints))
    reals = [0.0, -2.0, 0.75, 10.52, 43.4, 128.0] + [rng.uniform(0, 10 ** rng.randrange(1, 12))
                                                   for _ in range(3000)]
    assert volume_columns(np.array(reals)).tobytes() == b"".join(map(encode_volume, reals))


@pytest.mark.parametrize("seed, today", [(3, 20250613), (5, 20240105)])
def test_prepared_closes_are_those_of_the_day_bars(seed, today):
    """The whole-market table a server prepares before serving gives what each security's own
    history gives: the close of its last day bar, and the close before today."""
    prepared, lazy = (SimulatedMarket(seed=seed, fill=60, today=today) for _ in range(2))
    prepared.prepare()
    for sec in prepared.securities(0) + prepared.securities(1):
        bars = lazy.bar_columns(sec.key, 9, 0, 2)
        assert prepared.last_close(sec.key) == lazy.last_close(sec.key) == bars.close[-1]
        assert prepared.pre_close(sec.key) == lazy.pre_close(sec.key)
        if bars.date[-1] < prepared.today:
            assert prepared.pre_close(sec.key) == bars.close[-1]
