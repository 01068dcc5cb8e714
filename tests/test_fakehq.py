"""Checks of the fake HQ server itself, driven by a plain socket client: what the client tests
cannot see (the bytes really sent, compression, segmenting)."""
import socket
import struct
import zlib

import pytest

from fakehq import FakeHQ


def request(cmd, params=b"", fixed=b"\x01\x02\x03\x04\x05"):
    n = 2 + len(params)
    return b"\x0c" + fixed + struct.pack("<HHH", n, n, cmd) + params


SETUP = [request(0x000D, b"\x01"), request(0x000D, b"\x02"), request(0x0FDB, bytes(30))]


def recv_exact(sock, n):
    buf = b""
    while len(buf) < n:
        part = sock.recv(n - len(buf))
        if not part:
            raise EOFError(buf)
        buf += part
    return buf


def read_response(sock):
    """(Z, U, wire body) of one response."""
    z, u = struct.unpack_from("<HH", recv_exact(sock, 16), 12)
    return z, u, recv_exact(sock, z)


def connect(hq, setup=True):
    sock = socket.create_connection((hq.host, hq.port), timeout=2)
    if setup:
        for req in SETUP:
            sock.sendall(req)
            z, u, wire = read_response(sock)
            assert len((zlib.decompress(wire) if z != u else wire)[:u]) == u
    return sock


def ask(sock, req):
    sock.sendall(req)
    return read_response(sock)


def test_replies_follow_queue_order_across_connections(hq):
    body = bytes(range(200)) * 3
    hq.reply(b"\x34\x12")
    hq.reply(body, compress=True)
    hq.reply(body, z=5, u=7)
    hq.reply(wire=b"abc", z=20, u=100)
    hq.reply(raw=b"exactly this")
    with connect(hq) as a, connect(hq) as b:
        assert ask(a, request(1)) == (2, 2, b"\x34\x12")
        z, u, wire = ask(b, request(2))
        assert (z, u) == (len(wire), len(body)) and z < u and zlib.decompress(wire) == body
        a.sendall(request(3))
        assert struct.unpack_from("<HH", recv_exact(a, 16), 12) == (5, 7)
        assert recv_exact(a, len(body)) == body  # the true body still follows
        b.sendall(request(4))
        assert recv_exact(b, 19) == FakeHQ.header(20, 100) + b"abc"
        a.sendall(request(5))
        assert recv_exact(a, 12) == b"exactly this"
    assert hq.requests() == [request(i) for i in range(1, 6)]
    assert hq.connections() == 2


def test_chunked_delivery_arrives_in_pieces(hq):
    hq.reply(b"0123456789", chunk=2)
    with connect(hq) as s:
        s.sendall(request(1))
        pieces, data = 0, b""
        while len(data) < 26:
            data += s.recv(4096)
            pieces += 1
    assert data == FakeHQ.header(10, 10) + b"0123456789"
    assert pieces >= 3

