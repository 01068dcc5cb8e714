"""A sync that tells the truth: a market without a list, events cut short or missing and
finance figures that cannot be believed are failures, named in the summary and by the check,
and never replace or delete what the store holds."""
import math
import shutil
import sqlite3

import pandas as pd
import pytest

from pelmora.hq import HQ
from pelmora.store import Store, sync
from pelmora.store.check import check
from pelmora.store.schema import connect
from pelmora.testing import SimulatedServer

from store_market import DAY, FILL, NEXT, SEED, alike, two_days


@pytest.fixture(scope="module")
def servers():
    with two_days() as both:
        yield both


@pytest.fixture(scope="module")
def first(servers, tmp_path_factory):
    folder = tmp_path_factory.mktemp("first")
    assert sync(folder, [servers[0]]).ok
    return folder


def issues(folder):
    con = connect(folder, readonly=True)
    try:
        return [i for i in check(con) if i[2] != "stopped early"]
    finally:
        con.close()


class Faults:
    """The answers the sync reads spoilt as a test asks, with what it asked recorded: the
    stored list size each market's list was asked with, and the securities whose events were
    asked with a floor of the stored ones."""

    def __init__(self, monkeypatch):
        from pelmora.fetch import Fetch
        from pelmora.store import sources
        self.lists, self.events, self.finance, self.asked = {}, {}, {}, {}
        start_list, start_table = sources.Tables.start_list, Fetch.start_table
        event_rows, finance_records = sources.event_rows, sources.finance_records

        def spoilt_list(tables, market, known=None):
            self.asked[{1: "sh", 0: "sz"}[market]] = known
            take = start_list(tables, market, known)
            return (lambda: []) if {1: "sh", 0: "sz"}[market] in self.lists else take

        def recorded_table(fetch, kind, queries, at_least=None):
            if kind == "xdxr":
                self.asked["xdxr"] = {("sh" if q.market == 1 else "sz") + q.code
                                      for q, n in zip(queries, at_least or ()) if n}
            return start_table(fetch, kind, queries, at_least)

        def spoilt_events(result, syms):
            got = event_rows(result, syms)
            for s in got:
                if s.canonical in self.events:
                    got[s] = got[s][:self.events[s.canonical]]
            return got

        def spoilt_finance(result, syms):
            got = finance_records(result, syms)
            for s in got:
                got[s].update(self.finance.get(s.canonical, {}))
            return got
        monkeypatch.setattr(sources.Tables, "start_list", spoilt_list)
        monkeypatch.setattr(Fetch, "start_table", recorded_table)
        monkeypatch.setattr(sources, "event_rows", spoilt_events)
        monkeypatch.setattr(sources, "finance_records", spoilt_finance)


def test_a_market_without_a_list_fails_and_delists_nothing(servers, first, tmp_path,
                                                           monkeypatch):
    faults = Faults(monkeypatch)
    faults.lists["sz"] = True
    summary = sync(tmp_path / "new", [servers[0]])
    assert list(summary.markets_failed) == ["sz"] and not summary.ok
    with Store(tmp_path / "new") as store:
        assert len(store.securities("sz")) == 0 and len(store.securities("sh")) > 0
        assert store.sync_log().status.tolist() == ["failures"]
    assert issues(tmp_path / "new") == [("sz", "", "failed", "security list: the servers "
                                                              "gave an empty security list")]
    # An update: the stored list is kept and its securities synced all the same.
    folder = tmp_path / "update"
    shutil.copytree(first, folder)
    with Store(folder) as store:
        listed = {m: store.securities(m) for m in ("sh", "sz")}
    summary = sync(folder, [servers[1]])
    assert list(summary.markets_failed) == ["sz"]
    assert (faults.asked["sh"], faults.asked["sz"]) == (len(listed["sh"]), len(listed["sz"]))
    with Store(folder) as store:
        assert store.securities("sz").in_list.tolist() == [1] * len(listed["sz"])
        assert store.bars("000001").index[-1] == pd.Timestamp(str(NEXT))
    faults.lists.clear()
    assert sync(folder, [servers[1]]).ok and issues(folder) == []


def test_doubtful_events_keep_the_stored_ones(servers, first, tmp_path, monkeypatch):
    folder = tmp_path / "events"
    shutil.copytree(first, folder)
    with Store(folder) as store:
        want = {n: store.xdxr(n) for n in ("sh600036", "sz000001")}
        stored_finance = store.finance("sh600036")
    assert all(len(w) > 2 for w in want.values())
    faults = Faults(monkeypatch)
    faults.events = {"sh600036": 0, "sz000001": 2}
    faults.finance = {"sh600036": {"zongguben": -1.0, "jinglirun": math.nan},
                      "sh600000": {"updated_date": 0}}
    summary = sync(folder, [servers[1]])
    # Two days on, every quote's previous close differs from the stored one: the tables of
    # every security are asked for.
    assert {"sh600036", "sz000001"} <= faults.asked["xdxr"]
    assert sorted(summary.failures) == ["sh600000 finance", "sh600036 finance",
                                        "sh600036 xdxr", "sz000001 xdxr"]
    assert summary.failures["sz000001 xdxr"].startswith(
        f"events unconfirmed: 2 given where {len(want['sz000001'])} are stored")
    assert "jinglirun=nan, zongguben=-1.0" in summary.failures["sh600036 finance"]
    with Store(folder) as store:
        for name, frame in want.items():
            assert store.xdxr(name).equals(frame), name
        assert store.finance("sh600036").equals(stored_finance)
    assert {(s, p) for s, _, p, _ in issues(folder)} == {
        ("sh600036", "failed"), ("sz000001", "failed"), ("sh600000", "failed")}
    # Asked again by the next sync, and believed once the answers are whole.
    faults.events.clear()
    faults.finance.clear()
    again = sync(folder, [servers[1]])
    assert again.ok and issues(folder) == []


def test_an_empty_answer_a_second_server_confirmed_is_believed(servers, first, tmp_path,
                                                              monkeypatch):
    from pelmora.store.sources import Tables
    folder = tmp_path / "confirmed"
    shutil.copytree(first, folder)
    Faults(monkeypatch).events = {"sh600036": 0}
    monkeypatch.setattr(Tables, "confirmed", lambda self: True)
    assert sync(folder, [servers[1]]).ok
    with Store(folder) as store:
        assert len(store.xdxr("sh600036")) == 0


def written(folder):
    """Whether a sync has written a security's bars yet."""
    try:
        with Store(folder) as store:
            return len(store.sql("SELECT 1 FROM coverage LIMIT 1")) > 0
    except (OSError, RuntimeError, sqlite3.Error):  # not made yet
        return False


def test_ctrl_c_stops_a_sync_at_once(tmp_path):
    import signal
    import subprocess
    import sys
    import time
    folder = tmp_path / "stopped"
    with SimulatedServer(seed=SEED, fill=200, today=DAY, latency=5) as s:
        proc = subprocess.Popen([sys.executable, "-P", "-m", "pelmora", "sync", str(folder),
                                 "--server", f"{s.host}:{s.port}", "--connections", "2"],
                                stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 60
        while proc.poll() is None and time.monotonic() < deadline and not written(folder):
            time.sleep(0.1)
        assert proc.poll() is None, "the sync ended before it was interrupted"
        began = time.monotonic()
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=30)
        took = time.monotonic() - began
    assert proc.returncode == 130 and took < 10, (proc.returncode, took)
    assert err.splitlines() == [f"pelmora: sync interrupted; what it wrote is kept, and "
                                f"pelmora sync {folder} carries on from there"]
    with Store(folder) as store:
        assert store.sync_log().status.tolist() == ["interrupted"]
        got = store.sql("SELECT symbol, bars FROM coverage WHERE period = 'day'")
        assert len(got) > 0
        for symbol, n in zip(got.symbol, got.bars):  # whole securities only
            assert len(store.bars(symbol)) == n, symbol
    assert [i for i in issues(folder) if i[2] not in ("never fetched",)] == []


def test_export_where_it_cannot_write_fails_cleanly(first, tmp_path):
    """One line and exit status 1, never an abort at exit (Arrow's threads once called into a
    finalizing interpreter): five runs each, into a folder under a file and into folders
    whose partitions cannot be made."""
    import subprocess
    import sys
    pytest.importorskip("pyarrow")
    (tmp_path / "file").touch()
    (tmp_path / "early").mkdir()
    (tmp_path / "early" / "period=day").touch()
    (tmp_path / "late" / "period=day" / "market=sz").mkdir(parents=True)
    (tmp_path / "late" / "period=day" / "market=sz" / "year=2025").touch()
    for target in ("file/out", "early", "late"):
        for _ in range(5):
            out = subprocess.run([sys.executable, "-P", "-m", "pelmora", "export", str(first),
                                  "--parquet", str(tmp_path / target)],
                                 capture_output=True, text=True, timeout=120)
            assert out.returncode == 1, (target, out.returncode, out.stderr)
            assert len(out.stderr.splitlines()) == 1 and out.stderr.startswith(
                "pelmora: error: "), out.stderr


@pytest.mark.filterwarnings("ignore::pelmora.DataWarning")
def test_since_on_a_store_fetches_back_to_it(servers, tmp_path):
    folder = tmp_path / "since"
    assert sync(folder, [servers[0]], symbols=["600036", "sh000001"], since="2024-01-01").ok
    with Store(folder) as store:
        assert store.bars("600036").index[0] >= pd.Timestamp("2024-01-01")
    deeper = sync(folder, [servers[0]], symbols=["600036", "sh000001"], since="2020-01-01")
    assert deeper.ok and deeper.added > 0 and deeper.replaced == deeper.removed == 0
    with Store(folder) as store, HQ([servers[0]]) as hq:
        for code in ("600036", "sh000001"):
            assert alike(store.bars(code), hq.bars(code, start="2020-01-01")), code
    # Reached: a store already as deep asks for no more.
    again = sync(folder, [servers[0]], symbols=["600036", "sh000001"], since="2020-01-01")
    assert again.added == 0 and again.requests < deeper.requests - 4


def test_a_server_that_lists_nothing_fails_every_market_by_name(tmp_path):
    # The server's own answers, not a spoilt HQ: the list is asked again, then believed empty.
    with SimulatedServer(seed=SEED, fill=FILL, today=DAY, empty_list=True) as s:
        summary = sync(tmp_path, [f"{s.host}:{s.port}"])
    assert not summary.ok and sorted(summary.markets_failed) == ["sh", "sz"]
    assert {(i[0], i[2]) for i in issues(tmp_path)} == {("sh", "failed"), ("sz", "failed")}
