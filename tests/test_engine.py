"""The native pool of pelmora._engine: columns over the engine's memory, an error per request,
retries and failover, servers set aside, Ctrl-C, threads and descriptors released, and use from
several Python threads. Servers are simulated ones in child processes."""
import fcntl
import os
import re
import signal
import threading
import time

import numpy as np
import pytest

from pelmora import TdxClient
from pelmora._engine import Pool
from pelmora.testing import serve

SEED, FILL = 3, 60
DAY = 9


def reference(host, port, queries):
    """What _core answers to the same requests: (datetime text, close) per bar, in order. One
    connection a request, so that faults counted per connection never hit these."""
    out = []
    for cat, market, code, start, count, index in queries:
        c = TdxClient()
        c.connect(host, port)
        get = c.get_index_bars if index else c.get_security_bars
        out += [(b["datetime"], b["close"]) for b in get(cat, market, code, start, count)]
        c.disconnect()
    return out


def rows_of(batch):
    dt = np.frombuffer(batch.column("datetime"), dtype=np.int64).view("M8[s]")
    close = np.frombuffer(batch.column("close"))
    return [(str(t).replace("T", " ")[:16], c) for t, c in zip(dt, close)]


def as_core_times(rows, minute):
    """_core stamps day bars 15:00; the engine at midnight."""
    return rows if minute else [(t[:10] + " 15:00", c) for t, c in rows]


QUERIES = [(DAY, 1, "600036", 200, 100, False), (DAY, 1, "600036", 0, 200, False),
           (DAY, 1, "000001", 0, 50, True), (0, 0, "000001", 800, 800, False),
           (7, 0, "399001", 0, 300, True)]


@pytest.fixture(scope="module")
def server():
    with serve(seed=SEED, fill=FILL) as address:
        yield address


def test_bars_equal_core_pages_in_request_order(server):
    host, port = server
    with Pool([f"{host}:{port}"], connections=3) as pool:
        batch = pool.bars(QUERIES)
    assert batch.errors() == []
    counts = np.frombuffer(batch.column("counts"), dtype=np.int64)
    got, at = rows_of(batch), 0
    for q, n in zip(QUERIES, counts):
        want = reference(host, port, [q])
        assert n == len(want) > 0
        assert as_core_times(got[at:at + n], q[0] in (0, 7)) == want
        at += n
    assert at == len(batch)
    up = np.frombuffer(batch.column("up_count"))
    # Security rows carry no advancing count; index rows do.
    assert np.isnan(up[:counts[0] + counts[1]]).all()
    assert not np.isnan(up[counts[0] + counts[1]:counts[0] + counts[1] + counts[2]]).any()


def test_columns_share_the_engines_memory(server):
    with Pool([f"{server[0]}:{server[1]}"], connections=1) as pool:
        batch = pool.bars(QUERIES[:2])
    column = batch.column("open")
    a, b = np.frombuffer(column), np.asarray(memoryview(batch.column("open")))
    assert a.ctypes.data == b.ctypes.data == column.address
    assert a.flags.writeable and memoryview(column).format == "d"
    before = a.copy()
    del batch, column, b
    # The arrays keep the engine's memory alive.
    assert (a == before).all()


def test_an_error_per_request_and_retries(server):
    """Every third data request on a connection goes unanswered: with one attempt those
    requests fail on their own, with two every request succeeds."""
    qs = [(DAY, 1, "600036", 100 * i, 100, False) for i in range(5)]
    with serve(seed=SEED, fill=FILL, stall_every=3) as (host, port):
        reference(host, port, [(DAY, 1, "000001", 0, 1, True), qs[0]])  # data made once
        with Pool([f"{host}:{port}"], connections=1, timeout=0.5, attempts=1) as pool:
            batch = pool.bars(qs)
            failed = dict(batch.errors())
            # The check request is the first on the first connection.
            assert sorted(failed) == [1, 4]
            assert all(isinstance(e, TimeoutError) for e in failed.values())
            counts = np.frombuffer(batch.column("counts"), dtype=np.int64)
            assert list(counts) == [100, 0, 100, 100, 0]
        with Pool([f"{host}:{port}"], connections=1, timeout=0.5, attempts=2) as pool:
            batch = pool.bars(qs)
    assert batch.errors() == []
    assert as_core_times(rows_of(batch), False) == reference(*server, qs)


@pytest.mark.parametrize("fault, reason", [
    ({"quote_only": True}, "answers the security count but no bars (a quote-only server)"),
    ({"corrupt_every": 2}, "sent a malformed answer: corrupt deflate stream"),
])
def test_bad_servers_are_set_aside_without_a_wrong_row(server, fault, reason):
    qs = [(DAY, 1, "600036", 10 * i, 10, False) for i in range(100)]
    want = reference(*server, qs)
    # 20 ms a round trip: the good server needs about a second, in which the workers whose
    # home is the bad one find it out several times.
    with serve(seed=SEED, fill=FILL, latency=20, servers=[fault, {}]) as [bad, good]:
        for address in (bad, good):  # the data of these requests made before timing starts
            reference(*address, [(DAY, 1, "000001", 0, 1, True), qs[0]])
        names = [f"{h}:{p}" for h, p in (bad, good)]
        with Pool(names, connections=4, timeout=0.5) as pool:
            batch = pool.bars(qs)
            warnings = pool.take_warnings()
            states = pool.servers()
    assert batch.errors() == []
    assert as_core_times(rows_of(batch), False) == want
    assert any(w.startswith(f"server {names[0]} set aside: {reason}") for w in warnings), warnings
    assert states[0][1] == "set aside" and states[1][1] == "verified"


def test_no_server_with_data_says_so():
    with serve(seed=SEED, fill=FILL, quote_only=True) as (host, port):
        with Pool([f"{host}:{port}"], connections=2) as pool:
            batch = pool.bars([QUERIES[0]] * 3)
    errors = batch.errors()
    assert [i for i, _ in errors] == [0, 1, 2]
    for _, e in errors:
        assert isinstance(e, ConnectionError)
        assert re.fullmatch(rf"No server serves data: {host}:{port} answers the security count "
                            r"but no bars \(a quote-only server\)", str(e))


def test_an_empty_answer_is_asked_again_elsewhere(server):
    """A server that turns quote-only after answering the check gives an empty first page; the
    page is asked of the other server, and the one that answered empty is set aside."""
    qs = [(DAY, 1, "600036", 0, 20, False)] * 6
    with serve(seed=SEED, fill=FILL, servers=[{"drop_after": 1}, {}]) as [flaky, good]:
        for address in (flaky, good):
            reference(*address, [(DAY, 1, "000001", 0, 1, True), qs[0]])
        names = [f"{h}:{p}" for h, p in (flaky, good)]
        with Pool(names, connections=2, timeout=3.0) as pool:
            batch = pool.bars(qs)
    assert batch.errors() == []
    assert len(batch) == 6 * 20


def test_refused_server_fails_over():
    qs = [(DAY, 1, "600036", 10 * i, 10, False) for i in range(20)]
    with serve(seed=SEED, fill=FILL, servers=[{"refuse": True}, {}]) as [dead, good]:
        reference(*good, [(DAY, 1, "000001", 0, 1, True), qs[0]])
        with Pool([f"{h}:{p}" for h, p in (dead, good)], connections=4, timeout=3.0) as pool:
            batch = pool.bars(qs)
        assert batch.errors() == []
        assert as_core_times(rows_of(batch), False) == reference(*good, qs)


def test_ctrl_c_ends_a_wait_promptly():
    with serve(seed=SEED, fill=FILL, stall_every=1) as (host, port):
        with Pool([f"{host}:{port}"], connections=2, timeout=30.0) as pool:
            main = threading.get_ident()
            timer = threading.Timer(0.3, signal.pthread_kill, (main, signal.SIGINT))
            timer.start()
            t0 = time.monotonic()
            with pytest.raises(KeyboardInterrupt):
                pool.bars([QUERIES[0]] * 4)
            waited = time.monotonic() - t0
            timer.join()
    assert 0.3 <= waited < 0.45


def test_progress_runs_on_the_calling_thread(server):
    calls = []
    with Pool([f"{server[0]}:{server[1]}"], connections=2) as pool:
        pool.bars(QUERIES, lambda done, total: calls.append((threading.get_ident(), done, total)))
        assert {c[0] for c in calls} == {threading.get_ident()}
        assert calls[-1][1:] == (5, 5)
        with pytest.raises(ZeroDivisionError):
            pool.bars(QUERIES, lambda done, total: 1 / 0)


def tasks():
    return len(os.listdir("/proc/self/task"))


def fds():
    """Open descriptors, without the one that lists them."""
    return {int(fd) for fd in os.listdir("/proc/self/fd") if os.path.exists(f"/proc/self/fd/{fd}")}


def test_threads_joined_and_descriptors_closed(server):
    threads, before = tasks(), fds()
    pool = Pool([f"{server[0]}:{server[1]}"], connections=5)
    pool.bars(QUERIES)
    assert tasks() == threads + 5
    opened = fds() - before
    assert len(opened) >= 2  # the stop descriptor and at least one connection
    for fd in opened:
        assert fcntl.fcntl(fd, fcntl.F_GETFD) & fcntl.FD_CLOEXEC
    pool.close()
    pool.close()
    assert tasks() == threads and fds() == before
    with pytest.raises(ValueError, match="^the pool is closed$"):
        pool.bars(QUERIES)


def test_closing_ends_waits_on_a_stalled_server():
    with serve(seed=SEED, fill=FILL, stall_every=1) as (host, port):
        pool = Pool([f"{host}:{port}"], connections=2, timeout=30.0)
        result = []
        caller = threading.Thread(target=lambda: result.append(pool.bars([QUERIES[0]] * 3)))
        caller.start()
        time.sleep(0.3)
        t0 = time.monotonic()
        pool.close()
        caller.join(5)
        assert time.monotonic() - t0 < 1.0
    assert [str(e) for _, e in result[0].errors()] == ["the pool was closed"] * 3


def test_one_pool_from_several_threads(server):
    qs = [[(DAY, 1, "600036", 0, 50 + i, False), (DAY, 0, "000001", 7 * i, 30, False)]
          for i in range(6)]
    got = {}
    with Pool([f"{server[0]}:{server[1]}"], connections=3) as pool:
        def run(i):
            got[i] = rows_of(pool.bars(qs[i]))
        threads = [threading.Thread(target=run, args=(i,)) for i in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    for i in range(6):
        assert as_core_times(got[i], False) == reference(*server, qs[i])


@pytest.mark.parametrize("args, error, message", [
    ((["localhost:7709"],), ValueError, "Invalid address 'localhost:7709': invalid socket "
                                        "address syntax"),
    (([],), ValueError, "a pool needs 1 to 64 servers"),
    ((["127.0.0.1:1"], 0), ValueError, "connections must be 1 to 256"),
    ((["127.0.0.1:1"], 1, -1.0), ValueError, "timeouts must be positive, cooldown not negative, "
                                             "attempts at least 1"),
])
def test_pool_arguments(args, error, message):
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        Pool(*args)


@pytest.mark.parametrize("query", [(9, 2, "600036", 0, 1, False), (9, 1, "600036", 0, 70000, False),
                                   (9, 1, "600036", 0), [9, 1, "600036", 0, 1, False]])
def test_bad_queries_are_refused_before_anything_is_sent(query):
    with Pool(["127.0.0.1:1"], connections=1) as pool:
        with pytest.raises((ValueError, TypeError)):
            pool.bars([query])
