"""Servers checked against each other (`HQ.verify`, `pelmora verify`): each kind of wrong bars
the simulated server can send is caught, its server named and set aside; servers that agree give
an empty report, at twice the requests of fetching the securities once."""
import struct

import numpy as np
import pytest

from pelmora import HQ, DataWarning
from pelmora.cli import main
from pelmora.testing import Faults, SimulatedMarket, SimulatedServer, serve
from pelmora.testing.calendar import DAYS
from pelmora.testing.wrong import KINDS, wrong_page

SEED, FILL, SAMPLE = 7, 12, 12
# The columns each kind of wrong bars must be caught in (another security's differ in all).
CAUGHT = {"other": {"open", "close", "volume"}, "zero_volume": {"volume"},
          "shift_day": {"datetime"}, "times_ten": {"open", "high", "low", "close"}}
BAR_COMMAND, PAGE = 0x052D, 800


@pytest.fixture(scope="module")
def fleet():
    """Two good servers, then one of each kind of wrong bars, as "host:port"."""
    with serve(seed=SEED, fill=FILL, servers=[{}, {}] + [{"wrong_data": k} for k in KINDS]) \
            as addresses:
        names = [f"{h}:{p}" for h, p in addresses]
        yield names[:2], dict(zip(KINDS, names[2:]))


@pytest.mark.parametrize("kind", KINDS)
def test_each_kind_of_wrong_bars_is_caught_and_its_server_set_aside(fleet, kind):
    (good, other_good), bad = fleet[0], fleet[1][kind]
    with HQ([good, bad, other_good], connections=2) as hq:
        with pytest.warns(DataWarning, match=f"server {bad} set aside: its day bars of"):
            report = hq.verify(sample=SAMPLE, seed=SEED)
        assert not report.ok and report.set_aside == [bad] and not report.unsettled
        found = report.disagreements
        assert set(found["server"]) == {bad}
        assert CAUGHT[kind] <= set(found["column"])
        if kind == "times_ten":
            assert np.allclose(found["value"].astype(float), found["expected"].astype(float) * 10)
        if kind == "zero_volume":
            assert set(found["column"]) == {"volume"} and (found["value"] < 1e-30).all()
        assert (bad, "set aside") in [(s, state) for s, state, _ in hq.servers]
        assert f"set aside: {bad}" in str(report) and bad in str(report).splitlines()[1]
        # Later calls go to the good servers only.
        with HQ([good], quiet=True) as reference:
            codes = report.checked[:4]
            assert hq.bars_many(codes, count=50).equals(reference.bars_many(codes, count=50))


def test_agreeing_servers_give_an_empty_report_at_two_requests_a_security(fleet):
    with HQ(fleet[0], connections=2) as hq:
        report = hq.verify(["sh600036", "sz000001", "sh000001"], period="5m")
        assert report.ok and report.disagreements.empty and report.set_aside == []
        assert list(report.disagreements.columns) == ["server", "symbol", "datetime", "column",
                                                      "value", "expected"]
        assert report.requests == 6 and "the servers agree" in str(report)


def test_two_servers_that_disagree_name_no_one(fleet):
    """Without a third server there is no majority: the report shows the disagreement, and
    no server is set aside."""
    good, bad = fleet[0][0], fleet[1]["times_ten"]
    with HQ([good, bad]) as hq:
        report = hq.verify(["sh600036", "sz000001"])
        assert report.unsettled == ["sh600036", "sz000001"] and report.set_aside == []
        assert not report.ok and all(state != "set aside" for _, state, _ in hq.servers)
        with pytest.raises(ValueError, match="^no server 192.0.2.1:7709 in this pool$"):
            hq.fetch.set_aside("192.0.2.1:7709", "not in it")
    with HQ([good]) as hq, pytest.raises(ValueError, match="verify needs two servers in use, "
                                                           "not 1"):
        hq.verify(sample=3)


def _pages_asked(log):
    """The whole pages of bars a server's request log holds (not the one-bar request a
    connection makes before it is used)."""
    count = 0
    for line in log.read_text().split():
        request = bytes.fromhex(line)
        if len(request) >= 28 and struct.unpack_from("<H", request, 10)[0] == BAR_COMMAND:
            count += struct.unpack_from("<H", request, 26)[0] == PAGE
    return count


def test_verifying_costs_at_most_twice_fetching_once(tmp_path):
    logs = [tmp_path / f"{i}.log" for i in range(3)]
    servers = [SimulatedServer(seed=SEED, fill=60, log=log) for log in logs]
    with servers[0], servers[1], servers[2]:
        names = [s.address for s in servers]
        with HQ(names, connections=3) as hq:
            report = hq.verify(sample=100, seed=SEED)
        assert report.ok and len(report.checked) == 100
        verified = sum(_pages_asked(log) for log in logs)
        assert verified == report.requests == 200
        before = _pages_asked(logs[0])
        with HQ(names[:1], connections=3, quiet=True) as hq:
            hq.bars_many(report.checked, count=PAGE)
        once = _pages_asked(logs[0]) - before
        assert once == 100 and verified <= 2 * once


def test_the_command_line_prints_the_report_and_fails_on_disagreement(fleet, capsys):
    (good, other_good), bad = fleet[0], fleet[1]["zero_volume"]
    assert main(["verify", "sh600036", "sz000001", "-s", good, "-s", other_good]) == 0
    assert "2 securities checked (day bars) on 2 servers" in capsys.readouterr().out
    assert main(["verify", "--sample", "6", "--seed", "1", "-s", good, "-s", bad,
                 "-s", other_good]) == 1
    out, err = capsys.readouterr()
    assert f"{bad} " in out and "volume" in out and f"set aside: {bad}" in out
    assert f"warning: server {bad} set aside" in err


def test_wrong_pages_change_what_their_kind_says_and_nothing_else():
    market = SimulatedMarket(seed=SEED, fill=FILL)
    key = (1, "600036")
    page = market.bar_columns(key, 9, 0, 30)
    zero = wrong_page("zero_volume", market, key, 9, 0, 30, page)
    shifted = wrong_page("shift_day", market, key, 9, 0, 30, page)
    ten = wrong_page("times_ten", market, key, 9, 0, 30, page)
    other = wrong_page("other", market, key, 9, 0, 30, page)
    assert (zero.vol == 0).all()
    assert all(np.array_equal(a, b) for a, b in zip(zero._replace(vol=page.vol), page))
    assert (shifted.date == DAYS[np.searchsorted(DAYS, page.date) + 1]).all()
    assert (ten.high == page.high * 10).all() and (ten.amount == page.amount).all()
    assert len(other.date) and not np.array_equal(other.close, page.close)
    assert wrong_page("other", market, key, 9, 0, 30, page).close.tolist() == other.close.tolist()
    with pytest.raises(ValueError, match="unknown wrong-data kind 'nine'"):
        Faults(wrong_data="nine")
    assert Faults(wrong_data="other").options() == ["--wrong-data", "other"]


def test_a_server_a_day_ahead_is_no_disagreement():
    # The same market, one server a trading day later: their latest pages overlap but for
    # the bar at each end, which only one of them reaches.
    with SimulatedServer(seed=SEED, fill=FILL, today=20250613) as a, \
            SimulatedServer(seed=SEED, fill=FILL, today=20250616) as b, \
            HQ([a.address, b.address], quiet=True) as hq:
        report = hq.verify(["600036", "sz000001", "sh000001"])
    assert report.ok and report.disagreements.empty, str(report)
