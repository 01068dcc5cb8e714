"""Reference, memory and descriptor leaks: every callable, on success and on each error path,
called many times, must leave the interpreter's allocated blocks and the open descriptors flat."""
import gc
import os
import sys

import pytest

from pelmora import TdxClient

ROUNDS = 1500


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def assert_flat(call, rounds=ROUNDS):
    def run(n):
        for _ in range(n):
            try:
                call()
            except (Exception, KeyboardInterrupt):
                pass
    run(50)  # warm caches: interned keys, method wrappers, exception types
    gc.collect()
    blocks, fds = sys.getallocatedblocks(), open_fds()
    run(rounds)
    gc.collect()
    grown = sys.getallocatedblocks() - blocks
    assert grown < rounds // 20, f"{grown} blocks more after {rounds} calls"
    assert open_fds() == fds


NEW = TdxClient()

ARGUMENT_ERRORS = {
    "binding": lambda: NEW.get_security_list(1, market=1),
    "type": lambda: NEW.get_security_count("1"),
    "overflow": lambda: NEW.get_security_count(256),
    "text": lambda: NEW.connect(1, 1),
    "pairs": lambda: NEW.get_security_quotes([(1, "a"), [1, "b"]]),
    "pair length": lambda: NEW.get_security_quotes([(1, "a", 3)]),
    "not connected": lambda: NEW.get_security_list(1, 0),
    "invalid address": lambda: NEW.connect("localhost", 1),
    "refused": lambda: NEW.connect("127.0.0.1", 1),
    "self": lambda: TdxClient.get_security_count(object(), 1),
    "new": lambda: TdxClient(1),
}


@pytest.mark.parametrize("name", ARGUMENT_ERRORS)
def test_argument_and_connection_errors(name):
    assert_flat(ARGUMENT_ERRORS[name])


def test_connect_disconnect_cycle(hq):
    def cycle():
        c = TdxClient()
        c.connect("127.0.0.1", hq.port)
        c.disconnect()
    assert_flat(cycle, rounds=300)


def test_destroying_connected_clients(hq):
    assert_flat(lambda: TdxClient().connect("127.0.0.1", hq.port), rounds=300)


# (reply to queue, call) on a connected client; the reply is queued once per call.
def exchanges(c):
    sec = b"600036" + b"\x64\x00" + "平安银行".encode("gbk") + bytes(4) + b"\x02" + b"\0\0\0\x43" + bytes(4)
    return {
        "count": (dict(body=b"\x34\x12"), lambda: c.get_security_count(1)),
        "list": (dict(body=b"\x02\x00" + sec * 2, compress=True), lambda: c.get_security_list(1, 0)),
        "malformed": (dict(body=b"\x01"), lambda: c.get_security_count(1)),
        "corrupt deflate": (dict(wire=b"\x01\x02\x03", u=10), lambda: c.get_security_count(1)),
    }


@pytest.mark.parametrize("name", ["count", "list", "malformed", "corrupt deflate"])
def test_exchanges(hq, client, name):
    reply, call = exchanges(client)[name]
    hq.reply(**reply, repeat=ROUNDS + 50)
    assert_flat(call)


def test_dropped_connections(hq):
    c = TdxClient()

    def broken_exchange():
        c.connect("127.0.0.1", hq.port)
        c.get_security_count(1)  # the server closes instead of answering
    hq.reply(close=True, repeat=350)
    assert_flat(broken_exchange, rounds=300)
