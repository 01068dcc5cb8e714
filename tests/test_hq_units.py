"""The units of HQ's frames over the simulated server: volumes in units of each security's lot
size (or the servers' lots with lots=True), prices at its decimals, a type per security, and
English names of the pinyin columns. Expectations come from the server's own list, so that they
hold whatever lot sizes and decimals it gives."""
import warnings

import numpy as np
import pandas as pd
import pytest

import pelmora
from pelmora import HQ, DataWarning, TdxClient
from pelmora.instruments import TYPES
from pelmora.records import FINANCE, XDXR_VALUES

PER_TYPE = 3


@pytest.fixture(scope="module")
def hq(sim):
    with HQ([sim.address], connections=4) as h:
        yield h


@pytest.fixture(scope="module")
def listed(hq):
    return pd.concat([hq.securities("sh"), hq.securities("sz")])


def some_of(listed, kind):
    names = listed.index[listed["type"] == kind][:PER_TYPE].tolist()
    if not names:
        pytest.skip(f"the server lists no {kind}")
    return names


@pytest.mark.parametrize("kind", [t for t in TYPES if t != "index"])
def test_turnover_over_volume_is_a_price_of_the_bar(hq, listed, kind):
    # An index's amount over its volume is no price of it; every other type trades at one.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DataWarning)  # listed too late for a long history
        bars = hq.bars_many(some_of(listed, kind), "day", count=200)
    traded = bars[bars["volume"] > 0]
    assert len(traded) and (traded["type"] == kind).all()
    average = traded["amount"] / traded["volume"]
    slack = 1e-5  # the packed form keeps about 24 bits
    assert (average >= traded["low"] * (1 - slack)).all()
    assert (average <= traded["high"] * (1 + slack)).all()


def test_quotes_are_at_the_decimals_of_the_list(hq, listed):
    names = some_of(listed, "fund") + some_of(listed, "stock")
    quotes = hq.quotes(names)
    points = listed.loc[quotes.index, "decimal_point"].to_numpy()
    scaled = quotes["price"].to_numpy() * 10.0 ** points
    assert (np.abs(scaled - np.round(scaled)) < 1e-6).all()
    for name in names:  # a closed market: the price is the day's close
        close = hq.bars(name, count=1)["close"].iloc[-1]
        assert quotes.loc[name, "price"] == close, name
    assert (quotes["amount"] >= 0).all()


def test_nothing_traded_is_zero_turnover(sim, hq):
    # The packed form's zero, 2**-127, is what a client decodes for a quote without trades.
    quotes = hq.quotes()
    idle = quotes.index[quotes["vol"] == 0]
    if not len(idle):
        pytest.skip("every security of the simulated market traded")
    client = TdxClient()
    client.connect(sim.host, sim.port)
    sent = client.get_security_quotes([(1 if n[:2] == "sh" else 0, n[2:]) for n in idle[:80]])
    client.disconnect()
    assert all(0 < r["amount"] < 1e-30 for r in sent)
    assert (quotes.loc[idle, "amount"] == 0).all()


def test_lots_are_the_servers_counts(sim, hq, listed):
    name = some_of(listed, "stock")[0]
    lot = listed.loc[name, "volunit"]
    with HQ([sim.address], connections=2, lots=True) as raw:
        pd.testing.assert_series_equal(raw.bars(name, count=50)["volume"],
                                       hq.bars(name, count=50)["volume"] / lot)
        many = raw.bars_many([name, "sh000001"], count=20)
        units = hq.bars_many([name, "sh000001"], count=20)
        sizes = listed.loc[units["symbol"].astype(str), "volunit"].to_numpy()
        assert (many["volume"].to_numpy() == units["volume"].to_numpy() / sizes).all()
        quote, in_units = raw.quotes(name), hq.quotes(name)
        for column in ("vol", "cur_vol", "s_vol", "b_vol", "bid_vol1", "ask_vol5"):
            assert quote[column].iloc[0] * lot == in_units[column].iloc[0], column
        assert (raw.ticks(name)["vol"] * lot == hq.ticks(name)["vol"]).all()
        assert (raw.minutes(name)["vol"] * lot == hq.minutes(name)["vol"]).all()


def test_volumes_of_an_unknown_lot_size_stay_counts():
    from pelmora.hq.notices import Notices
    from pelmora.hq.scaling import Scaling

    class Lists:  # the list holds sh600036 with no lot size, and not sz000001
        def units(self, markets, codes):
            sizes = {"600036": 0, "600000": 100}
            return (np.array([sizes.get(c, 0) for c in codes]),
                    np.array([3 if c == "600036" else 2 for c in codes]))

    data = {"price": np.array([12.34, 5.67, 8.9]), "vol": np.array([7, 8, 9])}
    scaling = Scaling(Lists(), Notices(None, quiet=False), lots=False)
    with pytest.warns(DataWarning, match="^lot size unknown for sh600036, sz000001: ") as said:
        got = scaling.rows(data, [1, 1, 0], ["600036", "600000", "000001"], ["price"],
                           ["vol"])
    assert len(said) == 1 and said[0].filename == __file__
    assert got["vol"].tolist() == [7.0, 800.0, 9.0]
    assert got["price"].tolist() == [1.234, 5.67, 8.9]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        Scaling(Lists(), Notices(None, quiet=True), lots=False).rows(
            data, [1, 1, 0], ["600036", "600000", "000001"], ["price"], ["vol"])


def test_pinyin_columns_have_english_names(hq):
    events, finance = hq.xdxr("600036"), hq.finance("600036")
    pinyin = set(XDXR_VALUES) | (set(FINANCE) - {"market", "code", "province", "industry",
                                                 "updated_date", "ipo_date"})
    assert set(pelmora.ENGLISH_NAMES) == pinyin
    names = list(pelmora.ENGLISH_NAMES.values())
    assert len(set(names)) == len(names) and all(n.isidentifier() and n.islower()
                                                 for n in names)
    english = events.rename(columns=pelmora.ENGLISH_NAMES)
    assert {"cash_dividend_per_10", "bonus_shares_per_10", "float_shares_after"} <= \
        set(english.columns)
    assert "float_shares" in finance.rename(columns=pelmora.ENGLISH_NAMES).columns
