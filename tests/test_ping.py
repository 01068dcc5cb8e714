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
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.create_server((host, 0), family=family, backlog=backlog) as sock:
        sock.setblocking(False)
        yield sock, sock.getsockname()[1]


def accepted(sock):
    """What each peer that connected to `sock` sent before closing."""
    sent = []
    with contextlib.suppress(BlockingIOError):
        while conn := sock.accept()[0]:
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


@pytest.mark.parametrize("ip", ["localhost", "::1", "127.0.0.01", "127.1", " 127.0.0.1", "[::1",
                                "[127.0.0.1]", "", "127.0.0.1\0"])
def test_non_literal_addresses_fail_without_a_connection(ip):
    with listening() as (sock, port), listening("::1") as (sock6, port6):
        start = time.monotonic()
        assert ping_servers([(ip, port), (ip, port6)]) == [(ip, port, FAILED), (ip, port6, FAILED)]
        assert time.monotonic() - start < 0.5
        assert accepted(sock) == accepted(sock6) == []


def test_nothing_is_probed_for_an_empty_list_or_a_bad_pair_and_nothing_leaks():
    with listening() as (sock, port):
        before, start = tasks_and_fds(), time.monotonic()
        assert ping_servers([]) == [] and ping_servers(servers=()) == []
        assert time.monotonic() - start < 0.05
        # The sequence and tuple checks are those of every list argument; the pair is a text
        # host, then a 16-bit port.
        with pytest.raises(TypeError, match="^argument 'servers': 'str' object cannot be interpreted as an integer$"):
            ping_servers([("127.0.0.1", port), ("a", "9")])
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            ping_servers([("127.0.0.1", port), ("a", 70000)])
        assert accepted(sock) == [] and tasks_and_fds() == before
        servers = (("127.0.0.1", port), ("127.0.0.1", closed_port()), ("host", 1))
        before, refs = tasks_and_fds(), sys.getrefcount(servers[0][0])
        for _ in range(20):
            assert len(ping_servers(servers)) == 3 and len(accepted(sock)) == 1
        assert (tasks_and_fds(), sys.getrefcount(servers[0][0])) == (before, refs)


def test_sort_is_stable_with_failures_last_in_input_order():
    refused = closed_port()
    with listening() as (a, port_a), listening() as (b, port_b), listening("::1") as (c, port_c):
        servers = [(f"127.0.0.{1 + i % 3}", refused) for i in range(600)]
        # The last one is probed in the third wave of 256; the ip comes back as passed.
        servers[5], servers[300], servers[301], servers[599] = \
            ("127.0.0.1", port_a), ("localhost", port_a), ("[0:0::1]", port_c), ("127.0.0.1", port_b)
        before = tasks_and_fds()
        got = ping_servers(servers)
        assert tasks_and_fds() == before
        assert accepted(a) + accepted(b) + accepted(c) == [b""] * 3  # closed at once, nothing sent
    assert len(got) == 600 and all(type(g[2]) is int and 0 <= g[2] < FAST for g in got[:3])
    assert {g[:2] for g in got[:3]} == {servers[5], servers[301], servers[599]}
    ranks = [(g[2], servers.index(g[:2])) for g in got[:3]]
    assert ranks == sorted(ranks)  # by latency, ties in input order
    assert got[3:] == [(*s, FAILED) for i, s in enumerate(servers) if i not in (5, 301, 599)]


@pytest.mark.slow
def test_unanswered_servers_time_out_in_waves_holding_the_interpreter():
    ticks, stop = [], threading.Event()

    def ticker():
        while not stop.wait(0.01):
            ticks.append(time.monotonic())

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


# Under AddressSanitizer, the sanitizer's own per-thread mappings meet the address-space limit
# before the probe's threads do, and it aborts the process.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocations fail first under an address-space limit")
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

        sock = socket.create_server(("127.0.0.1", 0))
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
