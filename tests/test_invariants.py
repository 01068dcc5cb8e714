"""Every bar of the default simulated market, however it is read, in the units of the units table:

* each bar's average price, `amount / volume`, lies within its low-high range (an index's amount
  is turnover over its constituents, not its points times its volume: within the band the
  units table gives);
* the bars of `HQ`, of the TDX files the simulator writes and of the store agree column by
  column.

Every security of the default market and every period is asked for; the comparisons cover the
last days, which hold every period of every security.
"""
import warnings

import numpy as np
import pandas as pd
import pytest

import pelmora
from pelmora.instruments import INDEX
from pelmora.periods import PERIODS
from pelmora.store import Store, sync
from pelmora.testing import SimulatedServer
from pelmora.testing.market import SimulatedMarket
from pelmora.testing.vipdoc import write_vipdoc

pytestmark = [pytest.mark.slow, pytest.mark.timeout(900)]

MINUTE_DAYS = 2        # trading days of minute files and minute bars compared
DAYS = {"day": 20, "5m": MINUTE_DAYS, "1m": MINUTE_DAYS}   # trading days compared
COUNT = {"day": 20, "5m": 48 * MINUTE_DAYS, "1m": 240 * MINUTE_DAYS}
OTHER_COUNT = 3        # bars of every other period, for the average-price check
# An index's amount over its volume in shares, as a multiple of its level (units table).
INDEX_BAND = (0.0005, 0.025)
COLUMNS = ["open", "high", "low", "close", "volume", "amount"]


@pytest.fixture(scope="module")
def market():
    return SimulatedMarket()


@pytest.fixture(scope="module")
def server():
    with SimulatedServer(workers=2) as s:
        yield s.address


@pytest.fixture(scope="module")
def hq(server):
    with pelmora.HQ([server], connections=8) as h:
        yield h


@pytest.fixture(scope="module")
def symbols(hq):
    listed = pd.concat([hq.securities("sh"), hq.securities("sz")])
    return listed


@pytest.fixture(scope="module")
def served(hq, symbols):
    """Each compared period's bars from the servers, every security."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", pelmora.DataWarning)  # delisted: no recent bars
        return {p: hq.bars_many(list(symbols.index), p, count=n) for p, n in COUNT.items()}


@pytest.fixture(scope="module")
def folder(tmp_path_factory, market):
    root = tmp_path_factory.mktemp("tdx")
    every = tuple(s.key for m in (0, 1) for s in market.securities(m))
    write_vipdoc(market, root, minute_codes=every, minute_days=MINUTE_DAYS)
    return root


@pytest.fixture(scope="module")
def store(tmp_path_factory, server, market):
    root = tmp_path_factory.mktemp("store")
    sync(root, [server], periods=["day"], since=f"{market.days[-DAYS['day']]}")
    sync(root, [server], periods=["5m", "1m"], since=f"{market.days[-MINUTE_DAYS]}")
    with Store(root) as s:
        yield s


def _average_in_range(frame, types):
    """The rows whose amount / volume lies outside its range, by type."""
    traded = frame[frame["volume"] > 0]
    average = traded["amount"] / traded["volume"]
    kind = traded["symbol"].map(types).astype(str)
    index = kind == INDEX
    # The amount is a single-precision number: a relative 2**-20 of slack.
    slack = 1 + 2.0 ** -20
    inside = (average >= traded["low"] / slack) & (average <= traded["high"] * slack)
    level = traded["close"]
    banded = (average >= level * INDEX_BAND[0]) & (average <= level * INDEX_BAND[1])
    bad = traded[np.where(index, ~banded, ~inside)]
    return bad


def test_every_security_type_is_in_the_default_market(symbols):
    assert set(symbols["type"].astype(str)) >= {"stock", "index", "fund", "bond", "b_share"}
    # Funds and bonds are priced to three decimals, and a bond's lot is not 100.
    by_type = symbols.groupby(symbols["type"].astype(str), observed=True)
    assert by_type["decimal_point"].max()["fund"] == 3
    assert set(by_type["volunit"].unique()["bond"]) == {10}


def test_average_price_lies_within_the_range_in_every_period(hq, symbols, served):
    types = symbols["type"].astype(str)
    types.index = types.index.astype(str)
    for period in PERIODS:
        frame = served.get(period)
        if frame is None:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", pelmora.DataWarning)
                frame = hq.bars_many(list(symbols.index), period, count=OTHER_COUNT)
        assert len(frame) > len(symbols), period
        bad = _average_in_range(frame.reset_index(), types)
        assert bad.empty, (period, bad.head())


def _keyed(frame):
    """Rows keyed by security and time, in one order, prices and volumes as float64."""
    out = frame.reset_index()
    out["symbol"] = out["symbol"].astype(str)
    out = out.set_index(["symbol", "datetime"]).sort_index()
    return out[COLUMNS].astype("float64")


@pytest.mark.parametrize("period", list(COUNT))
def test_servers_files_and_store_agree(period, market, served, folder, store):
    first = pd.Timestamp(str(market.days[-DAYS[period]]))
    net = _keyed(served[period])
    files = _keyed(pelmora.read_vipdoc(folder, period, start=first))
    stored = _keyed(store.bars_many(period=period, start=first))
    net = net[net.index.get_level_values("datetime") >= first]
    assert len(net) > 0
    for name, other in (("files", files), ("store", stored)):
        only_net = net.index.difference(other.index)
        only_other = other.index.difference(net.index)
        assert only_net.empty and only_other.empty, (name, only_net[:5], only_other[:5])
        other = other.loc[net.index]
        for column in COLUMNS:
            mine, theirs = net[column].to_numpy(), other[column].to_numpy()
            if name == "files" and column == "amount":
                # The files hold single-precision amounts (and minute files single-precision
                # prices, which the readers round to the security's decimals).
                mine = mine.astype(np.float32).astype(np.float64)
            bad = np.flatnonzero(mine != theirs)
            assert not len(bad), (name, column, net.iloc[bad[:3]].to_string(), other.iloc[bad[:3]].to_string())
