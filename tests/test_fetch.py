"""The request/response exchange under every kind of response, and what a failure leaves."""
import signal
import time
import zlib

import pytest

from fakehq import FakeHQ

HUNDRED = bytes([0x34, 0x12]) + bytes(range(98))
STREAM = zlib.compress(HUNDRED)


def still_in_step(hq, client):
    hq.reply(b"\x09\x00")
    return client.get_security_count(0) == 9


@pytest.mark.parametrize("reply, expected", [
    (dict(body=b"\x34\x12\xff"), 0x1234),
    (dict(body=b"\x34\x12", chunk=1), 0x1234),                   # many small segments
    (dict(body=HUNDRED, compress=True, chunk=3), 0x1234),
    (dict(wire=STREAM, u=100), 0x1234),
    (dict(wire=STREAM, u=60), 0x1234),                           # first U bytes of a longer stream
    (dict(wire=zlib.compress(b"\x01\x02" * 40000), u=65535), 0x0201),  # input in 32 KiB pieces
    (dict(wire=b"\x78\x9c\x34\x12\x00", u=5), 0x9C78),           # Z = U: raw, whatever it looks like
    (dict(wire=b"\x78\x9c\x34\x12\x00", u=0), None),             # U = 0: nothing to inflate
])
def test_bodies(hq, client, reply, expected):
    hq.reply(**reply)
    if expected is None:
        with pytest.raises(RuntimeError, match="^Malformed security count response"):
            client.get_security_count(0)
    else:
        assert client.get_security_count(0) == expected
    assert still_in_step(hq, client)


@pytest.mark.parametrize("reply, message", [
    (dict(wire=STREAM, u=150), "failed to fill whole buffer"),
    (dict(wire=STREAM[:10], u=100), "failed to fill whole buffer"),   # truncated stream
    (dict(wire=zlib.compress(HUNDRED)[2:-4], u=100), "corrupt deflate stream"),  # raw deflate
    (dict(wire=STREAM[:-1] + bytes([STREAM[-1] ^ 1]), u=100), None),  # trailer not reached: fine
    (dict(wire=b"", z=0, u=10), "failed to fill whole buffer"),
])
def test_inflate_failures_keep_the_connection(hq, client, reply, message):
    hq.reply(**reply)
    if message is None:
        assert client.get_security_count(0) == 0x1234
    else:
        with pytest.raises(OSError) as info:
            client.get_security_count(0)
        assert type(info.value) is OSError and str(info.value) == message
    assert still_in_step(hq, client)


@pytest.mark.parametrize("reply", [
    dict(body=b"\x34\x12", close_after=10),                           # inside the header
    dict(body=HUNDRED, close_after=40),                               # inside the body
    dict(close=True),
])
def test_broken_exchange_drops_the_connection(hq, client, reply):
    hq.reply(**reply)
    with pytest.raises(OSError) as info:
        client.get_security_count(0)
    assert str(info.value) in ("failed to fill whole buffer", "Connection reset by peer (os error 104)")
    # The stream is out of step: rather than read leftovers as the next header, refuse.
    with pytest.raises(ConnectionError, match="^Not connected$"):
        client.get_security_count(0)
    assert client.connect("127.0.0.1", hq.port) is True
    assert still_in_step(hq, client)


class Alarm:
    """SIGALRM every `interval` seconds, with a handler that raises or not."""

    def __init__(self, interval, raise_on=None):
        self.interval, self.raise_on, self.count = interval, raise_on, 0

    def handler(self, signum, frame):
        self.count += 1
        if self.raise_on is not None and self.count >= self.raise_on:
            raise KeyboardInterrupt

    def __enter__(self):
        self.old = signal.signal(signal.SIGALRM, self.handler)
        signal.setitimer(signal.ITIMER_REAL, self.interval, self.interval)
        return self

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self.old)


def test_ctrl_c_interrupts_a_silent_server(hq, client):
    hq.reply(silent=True)
    start = time.monotonic()
    with Alarm(0.2, raise_on=1), pytest.raises(KeyboardInterrupt):
        client.get_security_count(0)
    assert time.monotonic() - start < 2
    with pytest.raises(ConnectionError, match="^Not connected$"):
        client.get_security_count(0)


@pytest.mark.slow
def test_signals_do_not_restart_the_read_timeout(hq, client):
    hq.reply(silent=True)
    start = time.monotonic()
    with Alarm(0.5) as alarm, pytest.raises(BlockingIOError) as info:
        client.get_security_count(0)
    assert 9.5 < time.monotonic() - start < 12
    assert alarm.count >= 15  # handlers ran during the wait
    assert str(info.value) == "Resource temporarily unavailable (os error 11)"
    with pytest.raises(ConnectionError, match="^Not connected$"):
        client.get_security_count(0)
