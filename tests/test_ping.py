"""ping_servers: the concurrent TCP-connect latency probe, against sockets of this process."""
import contextlib
import json
import os
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import pelmora
from pelmora._core import ping_servers

FAILED = 9999
FAST = 1000  # a generous bound in ms for a loopback handshake on a busy machine


def tasks_and_fds():
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))


@contextlib.contextmanager
def listening(host="127.0.0.1", backlog=128):
    """A listening socket: the kernel completes handshakes without Python running."""
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as sock:
        sock.bind((host, 0))
        sock.listen(backlog)
        sock.setblocking(False)
        yield sock, sock.getsockname()[1]


def accepted(sock):
    """What each peer that connected to `sock` sent before closing."""
    sent = []
    with contextlib.suppress(BlockingIOError):
        while True:
            conn, _ = sock.accept()
            with conn:
                conn.settimeout(1)
                sent.append(conn.recv(100))
    return sent


def closed_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@contextlib.contextmanager
def unanswered():
    """A loopback port whose SYNs are dropped: its accept queue is full."""
    with listening(backlog=0) as (_, port), contextlib.ExitStack() as stack:
        for _ in range(3):
            filler = stack.enter_context(socket.socket())
            filler.setblocking(False)
            with contextlib.suppress(BlockingIOError):
                filler.connect(("127.0.0.1", port))
        time.sleep(0.05)
        yield port


def run_isolated(code):
    """Runs `code` in a fresh interpreter (for process-wide limits); returns its JSON output."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(pelmora.__file__)))
    out = subprocess.run([sys.executable, "-c", f"import sys; sys.path.insert(0, {root!r})\n"
                          + textwrap.dedent(code)], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


def test_listening_ports_are_fast_and_closed_port_fails():
    refused = closed_port()
    with listening() as (sock, port), listening("::1") as (sock6, port6):
        servers = [("127.0.0.1", refused), ("127.0.0.1", port), ("[0:0::1]", port6)]
        got = ping_servers(servers)
        assert {g[:2] for g in got[:2]} == {servers[1], servers[2]}  # ip as passed, not normalised
        assert all(type(g[2]) is int and 0 <= g[2] < FAST for g in got[:2])
        assert got[2] == ("127.0.0.1", refused, FAILED)
        assert accepted(sock) == accepted(sock6) == [b""]  # closed at once, nothing sent


@pytest.mark.parametrize("ip", ["localhost", "::1", "127.0.0.01", "127.1", " 127.0.0.1", "[::1",
                                "[127.0.0.1]", "", "127.0.0.1\0"])
def test_non_literal_addresses_fail_without_a_connection(ip):
    with listening() as (sock, port), listening("::1") as (sock6, port6):
        start = time.monotonic()
        assert ping_servers([(ip, port), (ip, port6)]) == [(ip, port, FAILED), (ip, port6, FAILED)]
        assert time.monotonic() - start < 0.5
        assert accepted(sock) == accepted(sock6) == []


def test_sort_is_stable_with_failures_last_in_input_order():
    refused = closed_port()
    with listening() as (a, port_a), listening() as (b, port_b):
        servers = [(f"127.0.0.{1 + i % 3}", refused) for i in range(600)]
        # The last one is probed in the third wave of 256.
        servers[5], servers[300], servers[599] = ("127.0.0.1", port_a), ("localhost", port_a), \
            ("127.0.0.1", port_b)
        before = tasks_and_fds()
        got = ping_servers(servers)
        assert tasks_and_fds() == before and len(accepted(a) + accepted(b)) == 2
    assert len(got) == 600 and all(g[2] < FAST for g in got[:2])
    assert [g[:2] for g in got[:2]] == [servers[5], servers[599]] or got[0][2] < got[1][2]
    assert got[2:] == [(ip, port, FAILED) for ip, port in servers if port == refused or ip == "localhost"]


def test_unanswered_servers_time_out_in_waves_holding_the_interpreter():
    ticks, stop = [], threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    with unanswered() as port, listening() as (_, fast):
        # 257 servers fill one wave of 256 and start a second: two time-outs of 2 s.
        servers = [("127.0.0.1", port)] * 257 + [("127.0.0.1", fast)]
        thread = threading.Thread(target=ticker)
        thread.start()
        time.sleep(0.05)
        start = time.monotonic()
        got = ping_servers(servers)
        elapsed = time.monotonic() - start
        stop.set()
        thread.join()
    assert 3.9 < elapsed < 6.0
    assert got[0][:2] == ("127.0.0.1", fast) and got[0][2] < FAST  # measured in its own wave
    assert got[1:] == [("127.0.0.1", port, FAILED)] * 257
    assert max(b - a for a, b in zip(ticks, ticks[1:])) > elapsed - 0.2  # no Python thread ran


@pytest.mark.parametrize("bad, exc, message", [
    ("127.0.0.1:9000", TypeError, "argument 'servers': Can't extract `str` to `Vec`"),
    (9000, TypeError, "argument 'servers': 'int' object cannot be cast as 'Sequence'"),
    ([["127.0.0.1", 9000]], TypeError, "argument 'servers': 'list' object cannot be cast as 'tuple'"),
    ([("a", "9")], TypeError, "argument 'servers': 'str' object cannot be interpreted as an integer"),
    ([("a", 70000)], OverflowError, "out of range integral type conversion attempted"),
    ([("a", 1, 2)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
])
def test_argument_errors_come_before_any_probe(bad, exc, message):
    with listening() as (sock, port):
        with pytest.raises(exc) as info:
            ping_servers([("127.0.0.1", port)] + bad if isinstance(bad, list) else bad)
        assert type(info.value) is exc and str(info.value) == message
        assert accepted(sock) == []


def test_empty_list_starts_nothing_and_nothing_leaks():
    with pytest.raises(TypeError, match=r"^ping_servers\(\) missing 1 required positional argument: 'servers'$"):
        ping_servers()
    before = tasks_and_fds()
    start = time.monotonic()
    assert ping_servers([]) == [] and ping_servers(servers=()) == []
    assert time.monotonic() - start < 0.05 and tasks_and_fds() == before
    with listening() as (sock, port):
        servers = (("127.0.0.1", port), ("127.0.0.1", closed_port()), ("host", 1))
        before, refs = tasks_and_fds(), sys.getrefcount(servers[0][0])
        for _ in range(200):
            assert len(ping_servers(servers)) == 3 and len(accepted(sock)) == 1
        assert (tasks_and_fds(), sys.getrefcount(servers[0][0])) == (before, refs)


def test_spawn_failure_raises_after_joining_the_started_threads():
    with unanswered() as port:
        got = run_isolated(f"""
            import json, os, resource, time
            from pelmora import PanicException
            from pelmora._core import ping_servers

            def state():
                vm = [int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize:")]
                return vm[0] * 1024, len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))

            vm, *before = state()
            # Address space for a few 2 MiB thread stacks only.
            resource.setrlimit(resource.RLIMIT_AS, (vm + 24 * 2**20, resource.RLIM_INFINITY))
            start, error = time.monotonic(), None
            try:
                ping_servers([("127.0.0.1", {port})] * 64)
            except PanicException as e:
                error = e.args
            elapsed = time.monotonic() - start
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
            print(json.dumps(dict(error=error, elapsed=elapsed, same=state()[1:] == tuple(before),
                                  again=ping_servers([("x", 1)]))))
            """)
    assert got["error"] == ["failed to spawn thread: Resource temporarily unavailable (os error 11)"]
    assert got["elapsed"] > 1.9 and got["same"]  # the probes already started were joined
    assert got["again"] == [["x", 1, FAILED]]


def test_probe_without_descriptors_reports_failure():
    got = run_isolated("""
        import json, os, resource, socket
        from pelmora._core import ping_servers

        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        sock.listen(64)
        servers = [("127.0.0.1", sock.getsockname()[1])] * 5
        lowest_free = os.dup(0)
        os.close(lowest_free)
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (lowest_free, hard))  # no socket can be made
        starved = ping_servers(servers)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        print(json.dumps(dict(servers=servers, starved=starved, fed=ping_servers(servers))))
        """)
    assert got["starved"] == [[ip, port, FAILED] for ip, port in got["servers"]]
    assert len(got["fed"]) == 5 and all(g[2] < FAST for g in got["fed"])
