"""Answers the engine's pool believes: each must belong to its request (answers sent again,
bytes that came unasked, answers naming another command) and hold what it announces. A wrong
answer fails its exchange and the request is asked again; it never becomes rows."""
import time

import numpy as np
import pytest

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
