"""The local store: sync (full, incremental, corrected, killed, refused), reading from another
process, the completeness check and the Parquet export, against small simulated markets."""
import dataclasses
import os
import random
import signal
import sqlite3
import subprocess
import sys
import threading
import time
import warnings
from contextlib import closing

import numpy as np
import pytest

import pelmora
from pelmora.store import Store, StoreBusy, sync
from pelmora.store import reader, schema, writer
from pelmora.store.check import check
from pelmora.store.lock import SyncLock
from pelmora.testing import SimulatedServer

from store_market import alike

FILL, SEED, DAY, NEXT = 6, 5, 20250613, 20250617
MARKET = ["securities", "bars_day", "xdxr", "finance", "calendar"]


@pytest.fixture(scope="module")
def server():
    with SimulatedServer(seed=SEED, fill=FILL, today=DAY) as s:
        yield f"{s.host}:{s.port}"


@pytest.fixture(scope="module")
def later():
    with SimulatedServer(seed=SEED, fill=FILL, today=NEXT) as s:
        yield f"{s.host}:{s.port}"


def dump(folder):
    con = schema.connect(folder, readonly=True)  # with the bars views
    try:
        return {t: con.execute(f"SELECT * FROM {t} ORDER BY 1, 2").fetchall() if t != "calendar"
                else con.execute("SELECT * FROM calendar ORDER BY 1").fetchall() for t in MARKET}
    finally:
        con.close()


def edit(con, symbol, change):
    """Rewrites the stored day bars of `symbol` as `change` makes them from its series."""
    series = change(reader.read_bars(con, symbol, "day"))
    writer.write_bars(con, symbol, "day", series, replace_from=0)
    con.commit()


def sql(folder, query):
    with Store(folder) as store:
        return store.sql(query)


def bars(folder, code, period):
    with Store(folder) as store:
        return store.bars(code, period)


def cli(*args, **kw):
    return subprocess.run([sys.executable, "-P", "-m", "pelmora", *args], capture_output=True,
                          text=True, **kw)


@pytest.fixture(scope="module")
def full(server, tmp_path_factory):
    folder = tmp_path_factory.mktemp("full")
    summary = sync(folder, [server], connections=4)
    assert summary.ok and summary.added > 0
    return folder


@pytest.mark.filterwarnings("ignore::pelmora.DataWarning")
def test_store_reads_what_the_server_gives(full, server):
    from pelmora import HQ
    with pelmora.Store(full) as store, HQ([server]) as hq:  # the package exports Store
        for code in ("600036", "sh000001"):
            want = hq.bars(code, start="1990-01-01")
            got = store.bars(code)
            assert alike(got, want), code
        want = hq.bars_many(["600036", "000001"], start="2025-01-02", end="2025-03-31")
        assert store.xdxr("600036").equals(hq.xdxr("600036"))
        assert store.finance("600036").equals(hq.finance("600036"))
        got = store.bars_many(["600036", "000001"], start="2025-01-02", end="2025-03-31")
        assert alike(got, want)
        from pelmora.adjust import METHODS, adjust
        for code in store.securities().index:  # the store's own arithmetic, every method
            raw, events = store.bars(code), store.xdxr(code)
            for method in METHODS:
                want = adjust(raw, events, method)
                assert store.bars(code, adjust=method).equals(want), (code, method)
                assert store.bars(code, adjust=method, start="2020-01-01").equals(
                    want[want.index >= "2020-01-01"]), (code, method)
        assert len(store.xdxr("600036")) > 0
        assert store.calendar()[-1].strftime("%Y%m%d") == str(DAY)
        assert set(store.securities("sh").index) >= {"sh600036", "sh000001"}
    with closing(sqlite3.connect(full / "pelmora.sqlite")) as con:
        assert check(con) == []
    out = cli("query", str(full), "SELECT count(*) AS n FROM bars_day", "--csv")
    assert out.returncode == 0 and out.stdout.split() == ["n", str(len(dump(full)["bars_day"]))]


@pytest.mark.filterwarnings("ignore::pelmora.DataWarning")
def test_store_bars_take_the_arguments_of_hq_bars(full, server):
    from pelmora import HQ
    from pelmora.adjust import adjust
    with Store(full) as store, HQ([server]) as hq:
        for kwargs in ({"count": 30}, {"count": 30, "end": "2025-03-31"},
                       {"start": "2025-05-01", "end": "2025-05-31"}):
            assert alike(store.bars("600036", "D", **kwargs), hq.bars("600036", **kwargs))
            assert alike(store.bars_many(["600036", "sh000001"], 9, **kwargs),
                         hq.bars_many(["600036", "sh000001"], "day", **kwargs))
        whole, events = store.bars("600036"), store.xdxr("600036")
        assert store.bars("600036", count=len(whole) + 10).equals(whole)
        assert store.bars_many("600036", count=5).equals(store.bars_many(["600036"], count=5))
        dates = events.index[events["category"] == 1]
        assert len(dates) >= 2
        for method in ("qfq", "hfq-ratio"):
            want = adjust(whole, events, method)
            assert store.bars("600036", count=7, adjust=method).equals(want.iloc[-7:])
            want = adjust(whole, events, method, as_of=dates[0])
            assert store.bars("600036", adjust=method, as_of=dates[0]).equals(want)
            many = store.bars_many(["600036"], count=7, adjust=method)
            assert many.drop(columns=["symbol", "type"]).equals(store.bars("600036", count=7,
                                                                 adjust=method))
        for call, error, message in [
            # The store's SQL is read-only, and opens no other file for writing.
            (lambda: store.sql(f"ATTACH 'file:{full}/x.db?mode=rwc' AS x"), sqlite3.DatabaseError,
             "not authorized"),
            (lambda: store.sql(f"VACUUM INTO '{full}/copy.db'"), sqlite3.DatabaseError,
             "authorization denied"),
            (lambda: store.sql("DELETE FROM sync_log"), sqlite3.OperationalError, "readonly"),
            (lambda: store.bars("600999"), KeyError, "sh600999 is not in the store's security "
                                                     "lists"),
            (lambda: store.bars("600999", adjust="qfq"), KeyError, "sh600999"),
            (lambda: store.bars("830799"), ValueError, "market bj"),
            (lambda: store.bars("600036", count=5, start="2025-01-01"), ValueError,
             "give count or start, not both"),
            (lambda: store.bars("600036", count=0), ValueError, "count must be a positive"),
            (lambda: store.bars("600036", "W"), ValueError, "the store keeps day, 5m, 1m"),
            (lambda: store.bars("600036", "1M"), ValueError, "ambiguous period '1M'"),
            (lambda: store.bars("600036", start="2025-02-01", end="2025-01-01"), ValueError,
             "end '2025-01-01' is before start"),
        ]:
            with pytest.raises(error, match=message):
                call()
    assert not (full / "x.db").exists() and not (full / "copy.db").exists()


def test_sync_takes_pandas_period_names_and_one_name(server, tmp_path):
    summary = sync(tmp_path, [server], periods="5min", symbols="600036", connections=2)
    assert summary.ok and summary.securities == 1
    assert sql(tmp_path, "SELECT period, symbol FROM coverage").values.tolist() == \
        [["5m", "sh600036"]]
    assert sql(tmp_path, "SELECT periods FROM sync_log").periods.tolist() == ["5m"]
    with Store(tmp_path) as store:
        # One security named in several forms is read once; securities without stored bars
        # (no daily bars were synced) give an empty frame that still names them.
        once = store.bars_many("600036", "5m")
        assert len(once) > 0
        assert store.bars_many(["600036", "600036.XSHG", "sh600036"], "5m").equals(once)
        empty = store.bars_many(["600036", "sz000001"], "day")
        assert len(empty) == 0 and list(empty["symbol"].cat.categories) == ["sh600036",
                                                                          "sz000001"]


def test_every_frames_datetimes_are_in_seconds(full, server, tmp_path):
    from pelmora import HQ, read_day_frame, read_vipdoc
    from pelmora.testing import SimulatedMarket
    from pelmora.testing.vipdoc import write_vipdoc
    write_vipdoc(SimulatedMarket(seed=SEED, fill=FILL, today=DAY), tmp_path)
    day_file = tmp_path / "vipdoc" / "sh" / "lday" / "sh600036.day"
    with Store(full) as store, HQ([server]) as hq, warnings.catch_warnings():
        warnings.simplefilter("ignore", pelmora.DataWarning)
        frames = {
            "bars": hq.bars("600036", "5m"), "bars_many": hq.bars_many("600036", start="2025"),
            "adjusted": hq.bars_many(["600036"], "week", count=50, adjust="qfq"),
            "ticks": hq.ticks("600036"), "minutes": hq.minutes("600036"),
            "quotes": hq.quotes("600036"), "securities": hq.securities("sh"),
            "xdxr": hq.xdxr("600036"), "xdxr_many": hq.xdxr_many("600036")["sh600036"],
            "finance": hq.finance("600036"), "finance_many": hq.finance_many("600036")["sh600036"],
            "factors": hq.factors("600036"),
            "store bars": store.bars("600036", adjust="qfq"), "store many": store.bars_many(),
            "store xdxr": store.xdxr("600036"), "store finance": store.finance("600036"),
            "calendar": store.calendar().to_frame(),
            "vipdoc": read_vipdoc(tmp_path, "1m", progress=False),
            "day file": read_day_frame(day_file),
        }
    timeless = set()
    for name, frame in frames.items():
        dtypes = {"index": frame.index.dtype, **frame.dtypes.to_dict()}
        times = {c: str(t) for c, t in dtypes.items() if str(t).startswith("datetime")}
        assert set(times.values()) <= {"datetime64[s]"}, (name, times)
        if not times:
            timeless.add(name)
    assert timeless == {"securities"}


def test_check_reports_lost_bars_and_stale_series(full, tmp_path):
    import shutil
    folder = tmp_path / "gaps"
    shutil.copytree(full, folder)
    with closing(schema.connect(folder)) as con:
        edit(con, "sh600036", lambda s: s.part((s.keys < 20240102) | (s.keys > 20240105)))
        con.execute("UPDATE coverage SET checked=20250612 WHERE symbol='sz000001'")
        con.commit()
        assert [(s, p) for s, _, p, _ in check(con)] == [("sh600036", "gap"),
                                                         ("sz000001", "stopped early")]
    out = cli("sync", str(folder), "--check")
    assert out.returncode == 1 and "sh600036  day  gap: 4 of" in out.stdout


def test_incremental_update_equals_a_full_sync(full, later, tmp_path):
    import shutil
    folder = tmp_path / "inc"
    shutil.copytree(full, folder)
    summary = sync(folder, [later], connections=4)
    assert summary.ok and summary.added > 0 and summary.replaced == 0
    fresh = tmp_path / "fresh"
    sync(fresh, [later], connections=4)
    a, b = dump(folder), dump(fresh)
    for table in MARKET:
        if table == "securities":  # first seen differs: it is when the store first saw it
            a[table] = [r[:8] for r in a[table]]
            b[table] = [r[:8] for r in b[table]]
        assert a[table] == b[table], table
    # An up-to-date store asks one bars request per security and little else.
    again = sync(folder, [later], connections=4)
    assert again.added == 0 and again.requests < 3 * len(a["securities"])


def test_corrected_bar_is_replaced_and_logged(full, server, tmp_path):
    import shutil
    folder = tmp_path / "corr"
    shutil.copytree(full, folder)
    with closing(sqlite3.connect(folder / "pelmora.sqlite")) as con:
        edit(con, "sh600036", lambda s: dataclasses.replace(s, prices=s.prices + 10 * np.array(
            [[0], [0], [0], [1]]) * (s.keys == DAY)))
    summary = sync(folder, [server], connections=4)
    assert summary.replaced == 1
    assert dump(folder)["bars_day"] == dump(full)["bars_day"]
    log = sql(folder, "SELECT symbol, kind, detail FROM sync_events WHERE kind='corrected'")
    assert log.symbol.tolist() == ["sh600036"] and log.detail[0].startswith(f"{DAY}:")


def test_version_1_store_migrates_and_reads_alike(full, tmp_path):
    """A store of rows (version 1) becomes blocks; the bars read back the same, through the
    SQL views and through one whole-market read."""
    rows = dump(full)["bars_day"]
    volunits = dict(sql(full, "SELECT symbol, volunit FROM securities").values.tolist())
    folder = tmp_path / "v1"
    folder.mkdir()
    with closing(sqlite3.connect(folder / "pelmora.sqlite")) as con:
        schema.create_v1(con)
        con.executemany("INSERT INTO securities (symbol, market, code, name, volunit) "
                        "VALUES (?, ?, ?, '', ?)", [(s, s[:2] == "sh", s[2:], v)
                                                   for s, v in volunits.items()])
        # Version 1 counted volumes in lots.
        con.executemany("INSERT INTO bars_day VALUES (?,?,?,?,?,?,?,?,?,?)",
                        [(*r[:6], r[6] / volunits[r[0]], *r[7:]) for r in rows])
        con.commit()
    schema.connect(folder).close()
    assert dump(folder)["bars_day"] == rows
    with Store(folder) as store:
        assert schema.schema_version(store._con) == schema.SCHEMA_VERSION
        day = store.bars_many(start=str(DAY), end=str(DAY))
        again = store.bars_many(["sz000001", "sh000001", "sh600036"], start="2025-06-01")
    want = [r for r in rows if r[1] == DAY]
    assert [(s, round(c * 1000)) for s, c in zip(day.symbol, day.close)] == \
        [(r[0], r[5]) for r in want]
    assert list(again.symbol.cat.categories) == ["sz000001", "sh000001", "sh600036"]
    assert again.up_count.notna().groupby(again.symbol, observed=True).all().tolist() == \
        [False, True, False]


def test_second_sync_is_refused(full, server):
    with SyncLock(full):
        with pytest.raises(StoreBusy, match="another sync is running on .* wait for it"):
            sync(full, [server])
        out = cli("sync", str(full), "--server", server, "--quiet")
    assert out.returncode == 1 and "another sync is running" in out.stderr


def test_quote_only_server_is_no_news(full, tmp_path):
    import shutil
    folder = tmp_path / "q"
    shutil.copytree(full, folder)
    before = dump(folder)
    with SimulatedServer(seed=SEED, fill=FILL, today=NEXT, quote_only=True) as s:
        out = cli("sync", str(folder), "--server", f"{s.host}:{s.port}")
    assert out.returncode == 1 and out.stderr
    assert dump(folder) == before
    status = sql(folder, "SELECT status FROM sync_log ORDER BY id DESC LIMIT 1")
    assert status.status[0].startswith("failed")


def test_a_sync_loses_no_warning_of_other_threads(server, tmp_path):
    def warn_elsewhere(*progress):
        other = threading.Thread(target=warnings.warn, args=("elsewhere", pelmora.DataWarning))
        other.start()
        other.join()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        summary = sync(tmp_path / "w", [server], symbols=["600036", "600998"],
                       progress=warn_elsewhere)
    # The sync's own failure is in its summary alone.
    assert len(summary.failures) == 1
    assert [str(w.message) for w in caught] == ["elsewhere"] * 2


READER = r"""
import sys, time, os
from pelmora.store import Store
store = Store(sys.argv[1])
seen = [int(store.sql("SELECT count(*) AS n FROM bars_day").n[0])]  # pandas imported by then
print("ready", flush=True)
while not os.path.exists(sys.argv[2]):
    seen.append(int(store.sql("SELECT count(*) AS n FROM bars_day").n[0]))
    time.sleep(0.01)
seen.append(int(store.sql("SELECT count(*) AS n FROM bars_day").n[0]))
print(" ".join(map(str, seen)))
"""


def test_reader_in_another_process_across_a_sync(server, tmp_path):
    folder = tmp_path / "r"
    sync(folder, [server], symbols=["600036"])
    stop = tmp_path / "stop"
    reader = subprocess.Popen([sys.executable, "-P", "-c", READER, str(folder), str(stop)],
                              stdout=subprocess.PIPE, text=True)
    assert reader.stdout.readline().strip() == "ready"
    summary = sync(folder, [server], connections=2)
    stop.touch()
    out, _ = reader.communicate(timeout=60)
    assert reader.returncode == 0
    seen = [int(x) for x in out.split()]
    total = dump(folder)["bars_day"]
    assert seen == sorted(seen) and seen[-1] == len(total)
    assert len(set(seen)) > 2, "the reader saw no state between before and after"
    assert summary.ok


def test_killed_syncs_end_as_an_uninterrupted_one(full, server, tmp_path):
    rng = random.Random(int(os.environ.get("PELMORA_KILL_SEED", time.time())))
    print("kill seed", rng.random())
    want = dump(full)
    folder = tmp_path / "killed"
    began = time.monotonic()
    assert cli("sync", str(tmp_path / "timing"), "--server", server, "--quiet").returncode == 0
    span = time.monotonic() - began
    for _ in range(10):
        proc = subprocess.Popen([sys.executable, "-P", "-m", "pelmora", "sync", str(folder),
                                 "--server", server, "--quiet"])
        time.sleep(rng.uniform(0.2, span))
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait()
    assert cli("sync", str(folder), "--server", server, "--quiet").returncode == 0
    got = dump(folder)
    for table in MARKET:
        assert got[table] == want[table], table


def test_export_reads_back_with_duckdb_and_polars(full, tmp_path):
    duckdb = pytest.importorskip("duckdb")
    pl = pytest.importorskip("polars")
    pytest.importorskip("pyarrow")
    out = tmp_path / "pq"
    assert cli("export", str(full), "--parquet", str(out)).returncode == 0
    want = sql(full, "SELECT symbol, datetime, close / 1000.0 AS close FROM bars_day "
                     "ORDER BY symbol, datetime")
    want = [tuple(r) for r in want.itertuples(index=False)]
    glob = str(out / "**" / "*.parquet")
    got = duckdb.sql(f"SELECT symbol, CAST(strftime(datetime, '%Y%m%d') AS BIGINT), close "
                     f"FROM read_parquet('{glob}', hive_partitioning=true) "
                     f"WHERE period='day' ORDER BY 1, 2").fetchall()
    assert got == want
    frame = (pl.scan_parquet(glob, hive_partitioning=True)
             .filter(pl.col("period") == "day", pl.col("market") == "sh",
                     pl.col("year") == 2025)
             .select("symbol", pl.col("datetime").dt.strftime("%Y%m%d").cast(pl.Int64),
                     "close").sort("symbol", "datetime").collect())
    assert frame.rows() == [r for r in want if r[0].startswith("sh")
                            and r[1] // 10000 == 2025]


@pytest.mark.filterwarnings("ignore::pelmora.DataWarning")
def test_minute_bars_to_the_servers_depth_then_updated(server, later, tmp_path):
    from pelmora import HQ
    codes = ["600036", "sh000001"]
    sync(tmp_path / "m", [server], periods=["5m"], symbols=codes)
    with HQ([server]) as hq:
        for code in codes:
            assert alike(bars(tmp_path / "m", code, "5m"),
                         hq.bars(code, "5m", start="1990-01-01")), code
    assert sync(tmp_path / "m", [later], periods=["5m"], symbols=codes).added > 0
    sync(tmp_path / "f", [later], periods=["5m"], symbols=codes)
    for code in codes:
        a, b = bars(tmp_path / "m", code, "5m"), bars(tmp_path / "f", code, "5m")
        # The fresh store starts later: the servers keep a fixed number of minute bars.
        assert a[a.index >= b.index[0]].equals(b), code


def test_a_full_disk_is_reported_as_such(tmp_path):
    # SQLite rolls back by itself when the disk is full; the error must be that, not a failed
    # ROLLBACK's "no transaction is active". A page limit stands in for the full disk.
    from pelmora.store.schema import connect, transaction
    con = connect(tmp_path)
    con.execute(f"PRAGMA max_page_count={con.execute('PRAGMA page_count').fetchone()[0]}")
    with pytest.raises(sqlite3.OperationalError, match="database or disk is full"):
        with transaction(con):
            con.executemany("INSERT INTO sync_events VALUES (?, ?, ?, ?, ?, NULL)",
                            [(1, "sh600036", "day", "failed", "x" * 3000)] * 100)
    assert not con.in_transaction
    con.close()


def test_fifos_in_place_of_files_are_refused_at_once(tmp_path):
    # Opening a FIFO waits for a writer: the store's database and an imported connect.cfg are
    # checked first, and the commands fail at once, naming the path.
    os.mkfifo(tmp_path / "pelmora.sqlite")
    os.mkfifo(tmp_path / "connect.cfg")
    env = dict(os.environ, XDG_CONFIG_HOME=str(tmp_path / "xdg"))
    for args, path in [(("query", str(tmp_path), "SELECT 1"), tmp_path / "pelmora.sqlite"),
                       (("servers", "--import", str(tmp_path / "connect.cfg")),
                        tmp_path / "connect.cfg")]:
        out = cli(*args, timeout=30, env=env)
        assert out.returncode == 1 and f"{path} is a FIFO, not a regular file" in out.stderr
    (tmp_path / "other" / "pelmora.sqlite").mkdir(parents=True)
    with pytest.raises(OSError, match="pelmora.sqlite is a directory, not a regular file"):
        Store(tmp_path / "other")
