"""Answers the engine's pool believes: each must belong to its request (answers sent again,
bytes that came unasked, answers naming another command) and hold what it announces. A wrong
answer fails its exchange and the request is asked again; it never becomes rows."""
import struct
import time

import numpy as np
import pytest

from fakehq import FakeHQ
from mangler import Mangler
from pelmora import TdxClient
from pelmora._engine import Pool
from pelmora.testing import serve

SEED, FILL = 4, 10
A, B = (9, 1, "600036", 0, 120, False), (9, 1, "600519", 0, 120, False)


@pytest.fixture(scope="module")
def server():
    with serve(seed=SEED, fill=FILL) as address:
        client = TdxClient()  # the data of A and B made before anything is timed
        client.connect(*address)
        want = {q: [(b["datetime"][:10], b["close"]) for b in client.get_security_bars(*q[:5])]
                for q in (A, B)}
        client.disconnect()
        yield address, want


def rows(batch):
    days = np.frombuffer(batch.column("datetime"), dtype=np.int64).view("M8[s]").astype("M8[D]")
    close = np.frombuffer(batch.column("close"))
    return [(str(d), c) for d, c in zip(days, close)]


def bars_one_by_one(pool, queries, pause=0.0):
    """Rows of each query, asked one batch after another on the pool."""
    out = []
    for q in queries:
        batch = pool.bars([q])
        assert batch.errors() == []
        out += rows(batch)
        time.sleep(pause)
    return out


@pytest.mark.parametrize("plan", [{}, {"no_echo": True}], ids=["echo", "no echo"])
def test_an_answer_sent_again_after_the_next_request_is_not_taken_for_its(server, plan):
    """The hardest case: one connection, one command; A's answer comes again once B was asked,
    with the same header as B's own. The second data answer of the connection is A's (the first
    is the server check)."""
    address, want = server
    with Mangler(address, repeat_late=2, first_only=True, **plan) as proxy:
        with Pool([proxy], connections=1) as pool:
            assert bars_one_by_one(pool, [A, B]) == want[A] + want[B]
    with Mangler(address, repeat_late=2, first_only=True, **plan) as proxy:
        with Pool([proxy], connections=1, attempts=1) as pool:
            pool.bars([A])
            (_, e), = pool.bars([B]).errors()
    assert str(e) == f"{proxy}: out of step: the same answer as to an earlier request"


def test_an_answer_sent_again_beside_a_clean_server(server):
    address, want = server
    qs = [A, B] * 4
    with Mangler(address, repeat_late=2) as proxy:
        with Pool([proxy, "%s:%d" % address], connections=2) as pool:
            got = pool.bars(qs)
    assert got.errors() == []
    assert rows(got) == sum((want[q] for q in qs), [])


def test_bytes_that_came_unasked_are_never_read_as_an_answer(server):
    address, want = server
    with Mangler(address, repeat_soon=2, gap=0.05, first_only=True) as proxy:
        with Pool([proxy], connections=1) as pool:
            assert bars_one_by_one(pool, [A, B], pause=0.3) == want[A] + want[B]
    with Mangler(address, repeat_soon=2, gap=0.05, first_only=True) as proxy:
        with Pool([proxy], connections=1, attempts=1) as pool:
            pool.bars([A])
            time.sleep(0.3)
            (_, e), = pool.bars([B]).errors()
    assert str(e) == f"{proxy}: out of step: bytes arrived before the request was sent"


def test_an_answer_naming_another_command_fails_without_waiting(server):
    """The header announces a body that never comes: a server that echoes commands is caught by
    the header alone, well before the time-out."""
    address, want = server
    with Mangler(address, wrong_header=2, first_only=True) as proxy:
        with Pool([proxy], connections=1, timeout=5.0, attempts=1) as pool:
            t0 = time.monotonic()
            (_, e), = pool.bars([A]).errors()
            assert time.monotonic() - t0 < 2.0
            assert str(e) == f"{proxy}: out of step: the answer names command 0x0FFF, the " \
                             "request 0x052D"
            assert rows(pool.bars([A])) == want[A]


def day_of(want):
    return int(want[A][-2][0].replace("-", ""))


# Each command as the pool asks it, and the data answer of a one-connection pool that holds it
# (the first is the server check; the security codes ask the count first).
def commands(day):
    one = (1, "600036", 0, 0, 0)
    return {
        "bars": (lambda p: p.bars([A]), 2),
        "count": (lambda p: p.security_count(0), 2),
        "codes": (lambda p: p.security_codes(0), 3),
        "securities": (lambda p: p.table("securities", [(0, "", 0, 0, 0)]), 2),
        "quotes": (lambda p: p.table("quotes", [[(1, "600036"), (0, "000001")]]), 2),
        "xdxr": (lambda p: p.table("xdxr", [one]), 2),
        "finance": (lambda p: p.table("finance", [one]), 2),
        "ticks": (lambda p: p.table("ticks", [(1, "600036", 0, 500, 0)]), 2),
        "ticks of a day": (lambda p: p.table("ticks", [(1, "600036", 0, 500, day)]), 2),
        "minutes": (lambda p: p.table("minutes", [one]), 2),
        "minutes of a day": (lambda p: p.table("minutes", [(1, "600036", 0, 0, day)]), 2),
    }


def column_values(column):
    """The values as text: NaN equals NaN."""
    return [repr(v) for v in (column if isinstance(column, list) else memoryview(column).tolist())]


def outcome(call, pool):
    """("error", text) or ("ok", the result in comparable form)."""
    try:
        got = call(pool)
    except Exception as e:  # the count and the codes raise; batches list their errors
        return "error", str(e)
    if hasattr(got, "errors"):
        if got.errors():
            return "error", str(got.errors()[0][1])
        if hasattr(got, "names"):
            return "ok", {n: column_values(got.column(n)) for n in got.names()} if len(got) else {}
        return "ok", rows(got)
    return "ok", got


# Layouts with a count before fixed-size records leave room for a partial record after them;
# where records of variable length run to the end of the body, nothing may follow.
TOLERATE_PADDING = {"count", "codes", "securities", "xdxr", "finance"}


@pytest.mark.parametrize("how", ["half", "last", "pad", "zeros"])
@pytest.mark.parametrize("name", list(commands(0)))
def test_every_answer_holds_what_it_announces(server, name, how):
    if how == "zeros" and name == "count":
        pytest.skip("zeros are a count of 0: well formed")
    address, want = server
    call, answer = commands(day_of(want))[name]
    with Pool(["%s:%d" % address], connections=1) as pool:
        direct = outcome(call, pool)
    assert direct[0] == "ok" and direct[1]
    with Mangler(address, reshape=[answer, how]) as proxy:
        with Pool([proxy], connections=1, attempts=1) as pool:
            got = outcome(call, pool)
    if how == "pad" and name in TOLERATE_PADDING or (how, name) == ("last", "quotes"):
        assert got == direct  # (the last quote's trailer, which nothing reads, may be cut)
    else:
        assert got[0] == "error" and got[1].startswith(f"{proxy}: Malformed "), got


def test_a_record_more_than_announced_is_refused(server):
    address, want = server
    call, answer = commands(0)["securities"]
    with Mangler(address, reshape=[answer, "pad"], pad="36" * 29) as proxy:
        with Pool([proxy], connections=1, attempts=1) as pool:
            assert outcome(call, pool) == ("error", f"{proxy}: Malformed security list response:"
                                                    " 17 records where 16 are announced")


def test_no_finance_summary_is_an_empty_table_a_short_one_a_failure(server):
    """The answer of a server without a summary (an index) announces no record at its start."""
    address, _ = server
    with Pool(["%s:%d" % address], connections=1) as pool:
        got = pool.table("finance", [(1, "000001", 0, 0, 0)])
    assert got.errors() == [] and len(got) == 0
    with Mangler(address, reshape=[2, "last"]) as proxy:
        with Pool([proxy], connections=1, attempts=1) as pool:
            (_, e), = pool.table("finance", [(1, "600036", 0, 0, 0)]).errors()
    assert str(e) == f"{proxy}: Malformed finance response: 140 bytes, short of the 141-byte record"


# One daily index bar, the answer that makes a server verified.
CHECK_BAR = struct.pack("<HI", 1, 20250102) + bytes(4 + 12)


@pytest.mark.parametrize("code", [b"60\x00036", b"600\xff36", b"      "])
def test_a_security_list_of_no_codes_is_garbage(code):
    record = code + struct.pack("<H", 100) + b"ABCDEFGH" + bytes(4) + b"\x02" + bytes(8)
    with FakeHQ() as fake:
        fake.reply(CHECK_BAR)
        fake.reply(struct.pack("<H", 1) + record)
        with Pool([f"127.0.0.1:{fake.port}"], connections=1, attempts=1) as pool:
            (_, e), = pool.table("securities", [(0, "", 0, 0, 0)]).errors()
    assert isinstance(e, RuntimeError)
    assert str(e) == f"127.0.0.1:{fake.port}: Malformed security list response: record 0 holds " \
                     "no code of six letters or digits"


def test_a_server_of_garbage_every_other_answer_is_set_aside_without_a_time_out(server):
    """It echoes commands, so each garbage header fails at once; failing every other exchange,
    it is set aside for the cool-down."""
    _, want = server
    qs = [A, B] * 50
    # 20 ms a round trip: the workers whose home is the bad server find it out several times.
    with serve(seed=SEED, fill=FILL, latency=20, servers=[{"garbage_every": 2}, {}]) as [bad, good]:
        names = [f"{h}:{p}" for h, p in (bad, good)]
        with Pool(names, connections=4, timeout=5.0) as pool:
            t0 = time.monotonic()
            got = pool.bars(qs)
            took = time.monotonic() - t0
            states = pool.servers()
    assert got.errors() == [] and rows(got) == sum((want[q] for q in qs), [])
    assert took < 4.0 and states[0][1] == "set aside", (took, states)
    assert states[0][2].startswith("3 of its last 8 exchanges failed, the last: out of step: ")


def test_a_failed_request_names_its_server():
    with serve(seed=SEED, fill=FILL, refuse=True) as (host, port):
        with Pool([f"{host}:{port}"], connections=1, attempts=2) as pool:
            (_, e), = pool.bars([A]).errors()
    assert isinstance(e, ConnectionRefusedError)
    assert str(e) == f"{host}:{port}: Connection refused (os error 111)"
