"""HQ under the simulated servers' faults: a server killed in the middle of bars_many, servers
that stall, hang up, cut answers short or send garbage. The frame must equal a fault-free run:
no row lost, none repeated, none wrong."""
import threading
import time
import warnings

import pandas as pd
import pytest

from pelmora import HQ, DataWarning
from pelmora.testing import SimulatedServer, serve

SEED, FILL = 5, 10
# 5-minute bars, five pages each: 30 requests. The simulated server makes a security's data on
# first asking (about 0.4 s), so the list is short and the time-outs allow for that.
CODES = ["sh600036", "sh600519", "sh601318", "sz000001", "sz000858", "sz300750"]
PERIOD, COUNT = "5m", 4000


def quietly(call, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DataWarning)
        return call(*args, **kwargs)


@pytest.fixture(scope="module")
def expected():
    """The fault-free frame (and the data made once in each server process below is the same:
    it follows from the seed)."""
    with serve(seed=SEED, fill=FILL) as (host, port):
        with HQ([f"{host}:{port}"], connections=4) as hq:
            return hq.bars_many(CODES, PERIOD, COUNT)


def test_a_server_killed_mid_download(expected):
    servers = [SimulatedServer(seed=SEED, fill=FILL, latency=50) for _ in range(2)]
    for s in servers:
        s.start()
    try:
        def warm(server):  # each server makes the data before the timed run
            with HQ([server.address], connections=2) as one:
                one.bars_many(CODES, PERIOD, 1)
        warmers = [threading.Thread(target=warm, args=(s,)) for s in servers]
        for t in warmers:
            t.start()
        for t in warmers:
            t.join()
        with HQ([s.address for s in servers], connections=4, timeout=3.0) as hq:
            quietly(hq.bars_many, CODES[:2], PERIOD, 1)  # both servers checked and in use
            killer = threading.Timer(0.2, servers[0]._proc.kill)
            t0 = time.monotonic()
            killer.start()
            got = quietly(hq.bars_many, CODES, PERIOD, COUNT)
            elapsed = time.monotonic() - t0
            killer.join()
            states = {name: state for name, state, _ in hq.servers}
    finally:
        for s in servers:
            s.stop()
    assert elapsed > 0.2  # the kill came while it ran
    pd.testing.assert_frame_equal(got, expected)
    assert states[servers[1].address] == "verified"


@pytest.mark.parametrize("fault", [
    {"stall_every": 4},
    {"drop_after": 3},
    {"cut_answer": 2},
    {"garbage_every": 3},
    {"trickle": 2000},
])
def test_faulty_server_beside_a_good_one(expected, fault):
    with serve(seed=SEED, fill=FILL, servers=[fault, {}]) as addresses:
        with HQ([f"{h}:{p}" for h, p in addresses], connections=4, timeout=3.0) as hq:
            t0 = time.monotonic()
            got = quietly(hq.bars_many, CODES, PERIOD, COUNT)
            elapsed = time.monotonic() - t0
    pd.testing.assert_frame_equal(got, expected)
    # Each wait is bounded by the time-out; a stalled request is asked again elsewhere.
    assert elapsed < 40


def test_every_server_failing_fails_each_security_with_its_reason():
    with serve(seed=SEED, fill=FILL, stall_every=1) as (host, port):
        with HQ([f"{host}:{port}"], connections=2, timeout=0.3, attempts=2) as hq:
            t0 = time.monotonic()
            with pytest.raises((TimeoutError, ConnectionError)):
                hq.bars("sh600036", count=5)
            assert time.monotonic() - t0 < 5
