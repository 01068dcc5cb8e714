"""The simulated server's latency, worker processes and faults, seen from clients."""
import os
import socket
import struct
import time
import zlib

import pytest

from pelmora import TdxClient
from pelmora.testing import SimulatedServer, serve

SMALL = {"fill": 4}


def bars(client, count=50):
    return client.get_security_bars(9, 1, "600036", 0, count)


def raw_request(cmd, params=b""):
    n = 2 + len(params)
    return b"\x0c\x01\x02\x03\x04\x05" + struct.pack("<HHH", n, n, cmd) + params


SETUP = (raw_request(0x000D, b"\x01") + raw_request(0x000D, b"\x02")
         + raw_request(0x0FDB, bytes(30)))
COUNT = raw_request(0x044E, b"\x01\x00\x75\xc7\x33\x01")


def read_answer(sock):
    head = b""
    while len(head) < 16:
        part = sock.recv(16 - len(head))
        if not part:
            raise ConnectionError("closed")
        head += part
    z, u = struct.unpack("<12xHH", head)
    body = b""
    while len(body) < z:
        part = sock.recv(z - len(body))
        if not part:
            raise ConnectionError("closed")
        body += part
    return head, body if z == u else zlib.decompress(body)


def test_latency_delays_each_answer_but_not_other_connections():
    with serve(latency=150, **SMALL) as (host, port):
        c = TdxClient()
        started = time.monotonic()
        c.connect(host, port)  # three set-up answers, each held back
        assert time.monotonic() - started >= 3 * 0.15
        started = time.monotonic()
        assert len(bars(c)) == 50
        assert 0.15 <= time.monotonic() - started < 1.0
        c.disconnect()
        socks = [socket.create_connection((host, port), timeout=5) for _ in range(4)]
        started = time.monotonic()
        for s in socks:  # all asked at once: all answered after one latency, not four
            s.sendall(COUNT)
        for s in socks:
            assert read_answer(s)[1] == struct.pack("<H", 10)
            s.close()
        assert 0.15 <= time.monotonic() - started < 0.45


def children(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as f:
        return [int(p) for p in f.read().split()]


def test_workers_share_the_port_and_end_with_the_server():
    if not os.path.exists(f"/proc/{os.getpid()}/task/{os.getpid()}/children"):
        pytest.skip("no /proc children list")
    server = SimulatedServer(workers=3, **SMALL).start()
    try:
        workers = children(server._proc.pid)
        assert len(workers) == 2
        clients = [TdxClient() for _ in range(8)]
        for c in clients:
            c.connect(server.host, server.port)
        assert len({tuple(b["close"] for b in bars(c)) for c in clients}) == 1
    finally:
        server.stop()
    time.sleep(0.3)
    assert not [p for p in workers if os.path.exists(f"/proc/{p}")]


@pytest.mark.parametrize("faults, outcome", [
    ({"drop_after": 2}, [50, 50, OSError]),
    ({"cut_answer": 2}, [50, OSError, None]),
    ({"corrupt_every": 2}, [50, OSError, None]),
    ({"quote_only": True}, [0, 0, 0]),
    ({"trickle": 20000}, [50, 50, 50]),
])
def test_faults_seen_by_a_client(faults, outcome):
    with serve(**faults, **SMALL) as (host, port):
        c = TdxClient()
        c.connect(host, port)
        got = []
        started = time.monotonic()
        for expected in outcome:
            if expected is None:
                c.connect(host, port)  # the connection is gone: a new one works again
                got.append(len(bars(c)))
                continue
            try:
                got.append(len(bars(c)))
            except OSError as exc:
                got.append(expected if isinstance(expected, type) and
                           isinstance(exc, expected) else exc)
        assert got == [e if e is not None else 50 for e in outcome]
        if "trickle" in faults:  # about 1.6 kB of bars at 20 kB/s, three times
            assert time.monotonic() - started > 0.15
        if faults.get("quote_only"):
            assert c.get_security_count(1) == 10 and c.get_finance_info(1, "600036")
            assert c.get_security_quotes([(1, "600036")]) == []
            assert c.get_minute_time_data(1, "600036") == []
            assert c.get_transaction_data(1, "600036", 0, 10) == []


def test_refused_stalled_and_garbled_servers_side_by_side():
    fleet = [{"refuse": True}, {"stall_every": 2}, {"garbage_every": 1}, {}]
    with serve(servers=fleet, seed=5, **SMALL) as addresses:
        refused, stalled, garbled, healthy = addresses
        with pytest.raises(ConnectionError, match="Connection refused"):
            TdxClient().connect(*refused)
        c = TdxClient()
        c.connect(*healthy)
        assert len(bars(c)) == 50
        seen = []
        for host, port in (stalled, garbled):
            with socket.create_connection((host, port), timeout=1) as s:
                s.sendall(SETUP)
                for _ in range(3):
                    read_answer(s)
                s.sendall(COUNT)
                seen.append(s.recv(4096))
                s.sendall(COUNT)
                try:
                    seen.append(s.recv(4096))
                except socket.timeout:
                    seen.append(None)
        count_answer = b"\xb1\xcb\x74\x00"
        assert seen[0].startswith(count_answer) and seen[1] is None  # the second is never answered
        assert not seen[2].startswith(count_answer) and not seen[3].startswith(count_answer)


def test_jitter_spreads_answers_but_keeps_their_order():
    with serve(latency=100, jitter=60, seed=2, **SMALL) as (host, port):
        with socket.create_connection((host, port), timeout=5) as s:
            s.sendall(SETUP)
            for _ in range(3):
                read_answer(s)
            trips = []
            for _ in range(6):
                started = time.monotonic()
                s.sendall(COUNT)
                read_answer(s)
                trips.append(time.monotonic() - started)
            s.sendall(COUNT + raw_request(0x044E, b"\x05\x00\x75\xc7\x33\x01"))  # no market 5
            assert [read_answer(s)[1] for _ in range(2)] == [b"\x0a\x00", b"\x00\x00"]
    assert all(0.04 <= t < 0.4 for t in trips) and max(trips) - min(trips) > 0.01
