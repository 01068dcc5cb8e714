"""Batches submitted to the native pool and waited for later (Pending): results equal to the
blocking calls in whatever order they are taken, progress and Ctrl-C through result(), cancel,
and a Pending dropped unwaited or outliving its pool. Also the limits the engine hands out."""
import signal
import threading
import time
from typing import NamedTuple

import numpy as np
import pytest

from pelmora import _engine
from pelmora._engine import Pool
from pelmora.testing import serve

SEED, FILL = 3, 60
DAY = 9


class BarQuery(NamedTuple):
    category: int
    market: int
    code: str
    start: int
    count: int
    index: bool


BATCHES = [[(DAY, 1, "600036", 0, 120, False), (DAY, 1, "000001", 30, 40, True)],
           [(0, 0, "000001", 0, 300, False)],
           [BarQuery(7, 0, "399001", 5, 60, True), BarQuery(DAY, 1, "600036", 200, 10, False)]]
TABLE = ("ticks", [(1, "600036", 0, 100, 0), (0, "000001", 0, 50, 0)])


def bar_columns(batch):
    assert batch.errors() == []
    return {name: np.frombuffer(batch.column(name), "d" if name in ("open", "close", "volume")
                                else np.int64).tolist()
            for name in ("datetime", "open", "close", "volume", "counts")}


def table_columns(batch):
    return {name: bytes(memoryview(c)) if not isinstance(c := batch.column(name), list) else c
            for name in batch.names()}


@pytest.fixture(scope="module")
def server():
    with serve(seed=SEED, fill=FILL) as (host, port):
        yield f"{host}:{port}"


def test_submitted_batches_equal_blocking_calls_in_any_order(server):
    with Pool([server], connections=3) as pool:
        pending = [pool.submit_bars(qs) for qs in BATCHES]
        table = pool.submit_table(*TABLE)
        got = {i: bar_columns(pending[i].result()) for i in reversed(range(len(BATCHES)))}
        ticks = table.result()
        assert all(p.done() for p in pending) and table.done()
        # A second result() hands back the very same object.
        assert pending[0].result() is pending[0].result() and table.result() is ticks
        for i, qs in enumerate(BATCHES):
            assert got[i] == bar_columns(pool.bars(qs)), i
        assert table_columns(ticks) == table_columns(pool.table(*TABLE))
        assert len(ticks) > 0 and ticks.errors() == []


def test_progress_runs_through_result(server):
    calls = []
    with Pool([server], connections=2) as pool:
        p = pool.submit_bars(BATCHES[0] + BATCHES[2])
        batch = p.result(lambda done, total: calls.append((threading.get_ident(), done, total)))
        assert batch.errors() == []
        with pytest.raises(ZeroDivisionError):
            pool.submit_bars(BATCHES[1]).result(lambda done, total: 1 / 0)
    assert {c[0] for c in calls} == {threading.get_ident()} and calls[-1][1:] == (4, 4)


def test_submissions_are_checked_at_once():
    with Pool(["127.0.0.1:1"], connections=1) as pool:
        with pytest.raises(ValueError, match=r"^query \(9, 2, '600036', 0, 1, False\) out of range$"):
            pool.submit_bars([(DAY, 2, "600036", 0, 1, False)])
        with pytest.raises(TypeError, match=r"^argument 'queries': expected tuples \(market, "):
            pool.submit_table("xdxr", [(1, "600036", 0)])
        with pytest.raises(ValueError, match="^unknown query kind 'bars'$"):
            pool.submit_table("bars", [])
    with pytest.raises(ValueError, match="^the pool is closed$"):
        pool.submit_bars(BATCHES[0])


def test_cancel_drops_the_requests_not_started():
    with serve(seed=SEED, fill=FILL, stall_every=1) as (host, port):
        with Pool([f"{host}:{port}"], connections=1, timeout=1.0, attempts=1) as pool:
            p = pool.submit_bars([BATCHES[1][0]] * 6)
            time.sleep(0.2)
            assert not p.done()
            t0 = time.monotonic()
            p.cancel()
            errors = [str(e) for _, e in p.result().errors()]
            assert time.monotonic() - t0 < 1.5
    assert len(errors) == 6 and errors.count("the pool was closed") >= 5


def test_ctrl_c_in_result_cancels_the_batch():
    with serve(seed=SEED, fill=FILL, stall_every=1) as (host, port):
        with Pool([f"{host}:{port}"], connections=1, timeout=1.0, attempts=1) as pool:
            p = pool.submit_bars([BATCHES[1][0]] * 6)
            timer = threading.Timer(0.2, signal.pthread_kill, (threading.get_ident(), signal.SIGINT))
            timer.start()
            with pytest.raises(KeyboardInterrupt):
                p.result()
            timer.join()
            assert [str(e) for _, e in p.result().errors()].count("the pool was closed") >= 5


def test_pending_outlives_its_pool_or_is_dropped_unwaited():
    with serve(seed=SEED, fill=FILL, stall_every=1) as (host, port):
        pool = Pool([f"{host}:{port}"], connections=2, timeout=30.0)
        kept = pool.submit_bars([BATCHES[1][0]] * 4)
        pool.submit_bars([BATCHES[1][0]] * 4)  # dropped at once: its batch is cancelled
        time.sleep(0.2)
        t0 = time.monotonic()
        pool.close()
        del pool
        errors = [str(e) for _, e in kept.result().errors()]
        assert time.monotonic() - t0 < 1.0
    assert errors == ["the pool was closed"] * 4
    # Dropped after its pool, never waited.
    with serve(seed=SEED, fill=FILL) as (host, port):
        pool = Pool([f"{host}:{port}"], connections=1)
        unwaited = pool.submit_bars(BATCHES[0])
        del pool
        del unwaited


def test_limits_are_the_engines():
    with pytest.raises(ValueError, match=f"^connections must be 1 to {_engine.MAX_CONNECTIONS}$"):
        Pool(["127.0.0.1:1"], connections=_engine.MAX_CONNECTIONS + 1)
    with Pool(["127.0.0.1:1"], connections=1) as pool:
        pool.submit_bars([(DAY, 1, "600036", _engine.MAX_OFFSET, 1, False)]).cancel()
        with pytest.raises(ValueError, match="out of range"):
            pool.submit_bars([(DAY, 1, "600036", _engine.MAX_OFFSET + 1, 1, False)])


def test_minute_categories_are_the_ones_decoded_as_minutes(server):
    """A day category's bars fall on midnight; a minute category's on minutes within the day."""
    assert isinstance(_engine.MINUTE_CATEGORIES, frozenset)
    with Pool([server], connections=2) as pool:
        for category in range(12):
            batch = pool.bars([(category, 1, "600036", 0, 20, False)])
            seconds = np.frombuffer(batch.column("datetime"), np.int64) % 86400
            assert len(seconds) > 0, category
            assert (category in _engine.MINUTE_CATEGORIES) == bool(seconds.any()), category
