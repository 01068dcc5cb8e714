"""How a sync fetches: the engine's columns straight into the store (no frame, no Python
thread), batches overlapped with the writes, pages walked per security, and the records of a
table batch turned into stored rows as the frames would read them."""
import threading

import numpy as np
import pandas as pd
import pytest

from pelmora.fetch import Fetch, TableResult
from pelmora.hq import HQ
from pelmora.store import Store, sync
from pelmora.store import sources, writer
from pelmora.store.walk import Chunk
from pelmora.symbols import Symbol

from store_market import alike, two_days


@pytest.fixture(scope="module")
def servers():
    with two_days() as both:
        yield both


def refused(*args, **kwargs):
    raise AssertionError("a sync must not get here")


def test_a_sync_builds_no_frame_and_starts_no_thread(servers, tmp_path, monkeypatch):
    for name in ("bars_many", "securities", "quotes", "xdxr_many", "finance_many"):
        monkeypatch.setattr(HQ, name, refused)
    monkeypatch.setattr(pd.DataFrame, "__init__", refused)
    monkeypatch.setattr(threading.Thread, "start", refused)
    first = sync(tmp_path, [servers[0]], periods=["day", "5m"])
    update = sync(tmp_path, [servers[1]], periods=["day", "5m"])
    assert first.ok and first.added > 0 and update.ok and update.added > 0
    monkeypatch.undo()
    with Store(tmp_path) as store, HQ([servers[1]], quiet=True) as hq:
        assert alike(store.bars("600036"), hq.bars("600036", start="1990-01-01"))
        assert store.xdxr("600036").equals(hq.xdxr("600036"))
        assert store.finance("600036").equals(hq.finance("600036"))


def test_the_next_batch_is_started_before_one_is_taken_and_written(servers, tmp_path,
                                                                   monkeypatch):
    import importlib
    sync_module = importlib.import_module("pelmora.store.sync")  # `sync` names the function
    monkeypatch.setattr(sync_module, "FULL_CHUNK", 4)
    order = []
    start_bars, put = Fetch.start_bars, writer.Writer.put

    class Taken:
        """A started batch that records when its result is taken."""

        def __init__(self, pending, n):
            self.pending, self.n = pending, n

        def result(self, progress=None):
            order.append(("take", self.n))
            return self.pending.result(progress)

    def started(fetch, queries):
        n = sum(1 for e in order if e[0] == "start")
        order.append(("start", n))
        return Taken(start_bars(fetch, queries), n)

    def written(self, update):
        order.append(("write", update.symbol))
        put(self, update)
    monkeypatch.setattr(Fetch, "start_bars", started)
    monkeypatch.setattr(writer.Writer, "put", written)
    assert sync(tmp_path, [servers[0]]).ok
    starts = [n for kind, n in order if kind == "start"]
    takes = [n for kind, n in order if kind == "take"]
    assert takes == sorted(takes) and len(starts) > 10
    # Every batch of bars but the last ones is taken while later ones are out on the
    # engine (the first, the trading day's, is taken before the bars are planned).
    for n in takes[1:-2]:
        assert order.index(("start", n + 1)) < order.index(("take", n)), n
    writes = [i for i, e in enumerate(order) if e[0] == "write"]
    out = [sum(1 for e in order[:i] if e[0] == "start") - sum(1 for e in order[:i]
                                                              if e[0] == "take")
           for i in writes]
    assert max(out) >= 2  # written while batches are being fetched


def test_a_chunk_walks_back_until_it_reaches_the_store_or_the_depth(servers):
    sym, index = Symbol(1, "600036"), Symbol(1, "000001")
    # A chunk holds the servers' counts of lots, as HQ gives them with lots=True.
    with HQ([servers[1]], quiet=True, lots=True) as hq:
        whole = hq.bars(sym, start="1990-01-01")
        keys = whole.index.strftime("%Y%m%d").astype(int).to_numpy()
        # Stored up to 1,000 bars before the latest: the latest 2 are all new, so the
        # chunk pages back past its store; the index is new and walked to 2020.
        last = {sym.canonical: (int(keys[-1001]), 0)}
        chunk = Chunk("day", [sym, index], last, 2, 20200101, {})
        rounds = 0
        while queries := chunk.queries():
            chunk.take(hq.fetch.bars(queries))
            rounds += 1
        got = chunk.bars()
        assert rounds == 3 and not chunk.failures()
        assert np.array_equal(got[sym.canonical].times, whole.index[-1001:].values)
        want = hq.bars(index, start="2020-01-01")
        assert np.array_equal(got[index.canonical].times, want.index.values)
        volume = want.columns.get_loc("volume")  # in units: see test_store_units
        assert np.array_equal(np.delete(got[index.canonical].values, volume, axis=0).T,
                              want.drop(columns="volume").to_numpy())


class Batch:
    """A table batch as the engine hands it over: columns, rows per request, errors."""

    def __init__(self, columns, counts, errors=()):
        self._columns, self._counts, self._errors = columns, counts, list(errors)

    def __len__(self):
        return len(self._counts)

    def column(self, name):
        return self._columns[name]

    def names(self):
        return list(self._columns)

    def counts(self):
        return np.array(self._counts, np.int64)

    def errors(self):
        return self._errors


def test_event_rows_are_sorted_by_date_and_read_as_the_frame_reads_them():
    from pelmora.adjust import xdxr_frame
    from pelmora.records import XDXR_VALUES
    n = 4
    columns = {"year": np.array([2024, 2023, 2024, 2020]), "month": np.array([6, 2, 2, 1]),
               "day": np.array([1, 30, 10, 5]), "category": np.array([1, 1, 11, 1]),
               "name": ["a", "bad date", "c", "d"]}
    columns.update({k: np.full(n, np.nan) for k in XDXR_VALUES})
    columns["fenhong"] = np.array([0.2370000034570694, 1.0, np.nan, 3.0])
    columns["suogu"] = np.array([np.nan, np.nan, 0.5, np.nan])
    error = ConnectionError("reset")
    result = TableResult(Batch(columns, [3, 0, 1], [(1, error)]))
    a, b, c = Symbol(1, "600000"), Symbol(1, "600001"), Symbol(0, "000001")
    got = sources.event_rows(result, [a, b, c])
    assert list(got) == [a, c]
    assert [(r[0], r[2]) for r in got[a]] == [(20240210, "c"), (20240601, "a"), (0, "bad date")]
    assert got[a][1][3] == 0.237 and got[a][0][3] is None and got[a][0][7] == 0.5
    # The frame of the same records, read back from the rows as the store does.
    frame = xdxr_frame([{"year": y, "month": m, "day": d, "category": k, "name": nm,
                         **{v: columns[v][i] for v in XDXR_VALUES}}
                        for i, (y, m, d, k, nm) in enumerate(zip(
                            columns["year"], columns["month"], columns["day"],
                            columns["category"], columns["name"])) if i < 3])
    assert frame["name"].tolist() == [r[2] for r in got[a]]
    assert frame["fenhong"].fillna(-1).tolist() == [-1 if r[3] is None else r[3]
                                                    for r in got[a]]


def test_finance_records_keep_the_frames_order_and_zero_bad_dates():
    columns = {"zongguben": np.array([5.0, 6.0]), "province": np.array([3, 4]),
               "liutongguben": np.array([1.5, 2.5]), "industry": np.array([7, 8]),
               "updated_date": np.array([20250230, 20250331]), "ipo_date": np.array([0, 19991110])}
    result = TableResult(Batch(columns, [1, 0, 1]))
    a, b, c = Symbol(1, "600000"), Symbol(1, "600001"), Symbol(0, "000001")
    got = sources.finance_records(result, [a, b, c])
    assert got[b] == {}
    assert list(got[a]) == ["market", "code", "liutongguben", "province", "industry",
                            "updated_date", "ipo_date", "zongguben"]
    assert got[a]["updated_date"] == 0 and got[c]["ipo_date"] == 19991110
    assert sources.finance_doubt(got[a], True, False) == \
        "finance figures not believable: updated_date=0"
    assert sources.finance_doubt(got[c], True, False) is None


def test_ctrl_c_during_a_write_interrupts_the_sync_after_that_write(servers, tmp_path,
                                                                     monkeypatch):
    """Ctrl-C while SQLite calls back into Python for a checksum: the write it came in is
    whole, and the sync then ends as interrupted (never as a failed SQL statement)."""
    import signal
    from pelmora.store import checksums
    from pelmora.store.check import check
    from pelmora.store.schema import connect
    of, calls = checksums.of, [0]

    def interrupting(*values):
        calls[0] += 1
        if calls[0] == 400:
            signal.raise_signal(signal.SIGINT)
        return of(*values)
    monkeypatch.setattr(checksums, "of", interrupting)
    with pytest.raises(KeyboardInterrupt):
        sync(tmp_path, [servers[0]])
    monkeypatch.undo()
    with Store(tmp_path) as store:
        assert store.sync_log().status.tolist() == ["interrupted"]
        got = store.sql("SELECT symbol, bars FROM coverage WHERE period = 'day'")
        assert len(got) > 0
        for symbol, n in zip(got.symbol, got.bars):
            assert len(store.bars(symbol)) == n, symbol
    con = connect(tmp_path, readonly=True)
    try:
        assert [i for i in check(con) if i[2] not in ("never fetched", "stopped early")] == []
    finally:
        con.close()


def test_sync_verify_logs_the_check_and_goes_on_without_the_outvoted_server(tmp_path, capsys):
    from store_market import DAY, FILL, SEED
    from pelmora.cli import main
    from pelmora.testing import serve
    with serve(seed=SEED, fill=FILL, today=DAY,
               servers=[{}, {"wrong_data": "times_ten"}, {}]) as addresses:
        good, bad, other_good = (f"{h}:{p}" for h, p in addresses)
        status = main(["sync", str(tmp_path), "-s", good, "-s", bad, "-s", other_good,
                       "--verify", "6", "--quiet"])
        assert status == 0
        assert f"pelmora: server {bad} set aside: its day bars of" in capsys.readouterr().err
        with Store(tmp_path) as store, HQ([good], quiet=True) as hq:
            log = store.sql("SELECT symbol, period, detail FROM sync_events "
                            "WHERE kind='verify' ORDER BY rowid")
            # Nothing of the outvoted server's was written.
            assert store.bars("600036").equals(hq.bars("600036", start="1990-01-01"))
    head, rows = log.iloc[0], log.iloc[1:]
    assert head["symbol"] == "*" and head["period"] == "day"
    assert head["detail"].startswith("6 securities checked (day bars) on 3 servers")
    assert head["detail"].endswith(f"set aside: {bad}")
    assert len(rows) >= 1 and rows["detail"].str.startswith(f"{bad}: ").all()
    assert rows["detail"].str.contains("values disagree, the first").all()


def test_quotes_previous_closes_are_read_with_the_lists_decimals():
    # `pelmora._core` divides every quote price by 100: a fund's 1.234 comes as 12.34.
    columns = {"market": np.array([1, 1, 0, 1]), "code": ["510050", "600036", "159915", "510050"],
               "last_close": np.array([12.34, 45.4, 2.5, 99.0]), "vol": np.array([5, 0, 7, 1])}
    result = TableResult(Batch(columns, [4]))
    fund, stock, other = Symbol(1, "510050"), Symbol(1, "600036"), Symbol(0, "159915")
    got = sources.closes(result, [fund, stock, other], {"sh510050": 3, "sh600036": 2})
    # The first answer of each; a security the lists do not give takes its range's decimals.
    assert got == {fund: (1.234, 5), stock: (45.4, 0), other: (0.25, 7)}
