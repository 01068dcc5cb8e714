"""connect, disconnect and the set-up exchange."""
import fcntl
import os
import socket
import time

import pytest

from fakehq import FakeHQ
from pelmora import TdxClient

COUNT_REQUEST = bytes.fromhex("0c0c186c000108000800 4e04 0100 75c73301".replace(" ", ""))
SETUP = [
    bytes.fromhex("0c0218930001030003000d0001"),
    bytes.fromhex("0c0218940001030003000d0002"),
    bytes.fromhex("0c031899000120002000db0fd5d0c9ccd6a4a8af0000008fc22540130000d500c9ccbdf0d7ea00000002"),
]


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


@pytest.mark.parametrize("ip, port, shown", [
    ("localhost", 7709, "localhost:7709"),
    ("::1", 7709, "::1:7709"),
    ("127.0.0.1:80", 7709, "127.0.0.1:80:7709"),
    (" 127.0.0.1", 7709, " 127.0.0.1:7709"),
    ("127.0.0.01", 7709, "127.0.0.01:7709"),
    ("", 1, ":1"),
])
def test_invalid_address(ip, port, shown):
    with pytest.raises(ValueError) as info:
        TdxClient().connect(ip, port)
    assert str(info.value) == f"Invalid address '{shown}': invalid socket address syntax"


def test_refused():
    with pytest.raises(ConnectionError) as info:
        TdxClient().connect("127.0.0.1", closed_port())
    assert type(info.value) is ConnectionError
    assert str(info.value) == "Connect failed: Connection refused (os error 111)"


@pytest.mark.parametrize("setup", ["answer", "compressed", "segments"])
def test_setup_exchange(setup):
    with FakeHQ(setup=setup) as hq:
        c = TdxClient()
        assert c.connect("127.0.0.1", hq.port) is True
        assert hq.setup_requests() == SETUP
        # The set-up answers were read whole: the first command sees its own response.
        hq.reply(b"\x34\x12")
        assert c.get_security_count(1) == 0x1234
        assert hq.requests() == [COUNT_REQUEST]


def test_ipv6_in_brackets():
    with FakeHQ(host="::1") as hq:
        c = TdxClient()
        assert c.connect("[::1]", hq.port) is True
        hq.reply(b"\x05\x00")
        assert c.get_security_count(0) == 5


def test_failed_setup_leaves_the_client_as_it_was(hq):
    c = TdxClient()
    c.connect("127.0.0.1", hq.port)
    with FakeHQ(setup="close") as bad:
        with pytest.raises(OSError) as info:
            c.connect("127.0.0.1", bad.port)
        assert type(info.value) is OSError and str(info.value) == "failed to fill whole buffer"
    with pytest.raises(ConnectionError):
        c.connect("127.0.0.1", closed_port())
    hq.reply(b"\x07\x00")
    assert c.get_security_count(0) == 7  # the first connection still serves
    fresh = TdxClient()
    with FakeHQ(setup="close_after_accept") as bad, pytest.raises(OSError):
        fresh.connect("127.0.0.1", bad.port)
    with pytest.raises(ConnectionError, match="^Not connected$"):
        fresh.get_security_count(0)


def test_reconnect_replaces_and_closes_the_old_socket(hq):
    c = TdxClient()
    c.connect("127.0.0.1", hq.port)
    c.connect("127.0.0.1", hq.port)
    assert hq.connections() == 2
    assert hq.wait_closed(1)
    hq.reply(b"\x01\x00")
    assert c.get_security_count(0) == 1


def test_disconnect(hq):
    c = TdxClient()
    assert c.disconnect() is None  # never connected: nothing to do
    c.connect("127.0.0.1", hq.port)
    assert c.disconnect() is None
    assert c.disconnect() is None
    assert hq.wait_closed(1)
    with pytest.raises(ConnectionError, match="^Not connected$"):
        c.get_security_list(0, 0)
    assert hq.requests() == []


def test_destroying_the_client_closes_its_socket(hq):
    c = TdxClient()
    c.connect("127.0.0.1", hq.port)
    del c
    assert hq.wait_closed(1)


@pytest.mark.slow
def test_connect_times_out_after_five_seconds():
    # A listener whose accept queue is full drops further SYNs, so the handshake never ends.
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    fillers = []
    try:
        for _ in range(4):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(listener.getsockname())
            fillers.append(s)
        time.sleep(0.1)
        start = time.monotonic()
        with pytest.raises(ConnectionError) as info:
            TdxClient().connect("127.0.0.1", listener.getsockname()[1])
        elapsed = time.monotonic() - start
        assert str(info.value) == "Connect failed: connection timed out"
        assert 4.5 < elapsed < 7
    finally:
        for s in fillers:
            s.close()
        listener.close()


@pytest.mark.slow
def test_silent_setup_fails_after_the_read_timeout():
    with FakeHQ(setup="silent") as hq:
        c = TdxClient()
        start = time.monotonic()
        with pytest.raises(BlockingIOError) as info:
            c.connect("127.0.0.1", hq.port)
        assert 9.5 < time.monotonic() - start < 12
        assert str(info.value) == "Resource temporarily unavailable (os error 11)"
        assert hq.wait_closed(1)  # the new socket was closed


def sockets():
    fds = {}
    for fd in os.listdir("/proc/self/fd"):
        try:
            fds[fd] = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:  # the descriptor of the listing itself, gone by now
            pass
    return {fd for fd, target in fds.items() if target.startswith("socket:")}


def test_socket_is_close_on_exec(hq):
    before = sockets()
    c = TdxClient()
    c.connect("127.0.0.1", hq.port)
    (new,) = sockets() - before
    assert fcntl.fcntl(int(new), fcntl.F_GETFD) & fcntl.FD_CLOEXEC
    c.disconnect()
    assert new not in sockets()
