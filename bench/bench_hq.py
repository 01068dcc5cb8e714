"""pelmora.HQ against the other ways to download bars: throughput through a round trip, client
CPU from wire bytes to a frame, stalls of other Python threads, and peak memory.

Run after `pip install .` as `python bench/bench_hq.py` (or with PYTHONPATH=. in a development
tree); `--json` prints one JSON object instead of the report. Not a test: figures are printed
as ratios against baselines measured in the same run.

The job: 200 securities x 800 daily bars, the answers held `--latency` ms (10, 20 and 50) by
bench/replay_server.py, which answers with the simulated server's own answers (captured at
the start) at almost no CPU (its CPU is shown; the simulated server of pelmora.testing spends
1-2 ms of CPU on an 800-bar answer, which on two cores competes with the client measured;
`--sim-workers N` times against it instead, with N worker processes).
Clients:
  core-seq     one pelmora TdxClient, request after request
  core-8thr    8 TdxClients in 8 Python threads (each holds the interpreter lock while it waits)
  py-8thr      a pure-Python client (socket, struct, zlib; bench/pydecode_market.py) in 8 threads
  hq           pelmora.HQ(connections=8).bars_many(...): one long frame
Every client's result is checked equal to core-seq's before the timings are reported.
bars_many's client CPU is measured in rounds, in rotation with zlib and libdeflate inflating
the same bodies and with the bare exchanges of the job (bench/floor_exchange.c: what any client
pays the kernel here), so that a busy host's drift hits them alike.
"""
import argparse
import concurrent.futures
import gc
import json
import os
import pickle
import resource
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import pydecode_market  # noqa: E402

from pelmora import HQ, TdxClient  # noqa: E402

SECURITIES, BARS, THREADS = 200, 800, 8
DAY = 9
SETUP = [bytes.fromhex("0c02189300010300030d0001".replace("030d", "03000d")),
         bytes.fromhex("0c0218940001030003000d0002")]


# ------------------------------------------------------------------ requests and the market

def bars_request(category, market, code, start, count):
    return (bytes.fromhex("0c01086401011c001c002d05") + struct.pack("<H", market)
            + code.encode().ljust(6, b"\0") + struct.pack("<HHHH", category, 1, start, count)
            + bytes(10))


def count_request(market):
    return bytes.fromhex("0c0c186c000108000800 4e04".replace(" ", "")) + struct.pack(
        "<HI", market, 20170613)


def list_request(market, start):
    return bytes.fromhex("0c0118640101060006005004") + struct.pack("<HH", market, start)


def build_market(securities, bars):
    """({request: whole response}, codes, [(wire body, plain size)] of the bar answers): the
    simulated server's own answers, captured once, which the replaying server sends back. Its
    bodies are what a client of it inflates: about 14.7 compressed bytes a bar."""
    codes = sim_codes(securities)
    server = SimServer(0, 1)
    try:
        with socket.create_connection(("127.0.0.1", server.port)) as sock:
            def answer(request):
                sock.sendall(request)
                head = recv_exact(sock, 16)
                return head + recv_exact(sock, struct.unpack_from("<H", head, 12)[0])

            answers = {}
            for market in (0, 1):
                answers[count_request(market)] = whole = answer(count_request(market))
                listed = struct.unpack_from("<H", plain_body(whole))[0]
                for start in range(0, listed, 1000):
                    answers[list_request(market, start)] = answer(list_request(market, start))
            verify = bars_request(DAY, 1, "000001", 0, 1)
            answers[verify] = answer(verify)
            bodies = []
            for code in codes:
                request = bars_request(DAY, 1, code, 0, bars)
                answers[request] = whole = answer(request)
                bodies.append((whole[16:], struct.unpack_from("<H", whole, 14)[0]))
    finally:
        server.stop()
    return answers, codes, bodies


def recv_exact(sock, n):
    buf = bytearray()
    while len(buf) < n:
        part = sock.recv(n - len(buf))
        if not part:
            raise ConnectionError("closed")
        buf += part
    return bytes(buf)


def plain_body(whole):
    z, u = struct.unpack_from("<HH", whole, 12)
    return whole[16:] if z == u else zlib.decompress(whole[16:])


class ReplayServer:
    def __init__(self, answers_path, latency):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "replay_server.py"), answers_path, str(latency)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.port = int(self.proc.stdout.readline())

    def cpu(self):
        return tree_cpu(self.proc.pid)

    def stop(self):
        self.proc.stdin.close()
        self.proc.wait(5)


class SimServer:
    """The simulated server of pelmora.testing, with `workers` processes."""

    def __init__(self, latency, workers):
        from pelmora.testing import SimulatedServer
        self.sim = SimulatedServer(latency=latency, workers=workers).start()
        self.port = self.sim.port

    def cpu(self):
        return tree_cpu(self.sim._proc.pid)

    def stop(self):
        self.sim.stop()


def tree_cpu(pid):
    """CPU seconds of a process and its live children."""
    total = 0.0
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            total += sum(tree_cpu(int(c)) for c in f.read().split())
    except OSError:
        pass
    return total


def sim_codes(count):
    """Shanghai stocks of the simulated server with a full first page of daily bars."""
    server = SimServer(0, 1)
    try:
        c = TdxClient()
        c.connect("127.0.0.1", server.port)
        out, start = [], 0
        while len(out) < count:
            page = c.get_security_list(1, start)
            if not page:
                break
            for rec in page:
                code = rec["code"]
                if code[0] == "6" and len(c.get_security_bars(DAY, 1, code, 0, BARS)) == BARS:
                    out.append(code)
            start += len(page)
        c.disconnect()
    finally:
        server.stop()
    return out[:count]


# ------------------------------------------------------------------ the clients

class PyClient:
    """The pure-Python baseline: blocking socket, struct for the header, zlib, and the
    pure-Python decoder."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for request in SETUP + [bytes.fromhex(
                "0c031899000120002000db0fd5d0c9ccd6a4a8af0000008fc22540130000d500c9ccbdf0d7ea"
                "00000002")]:
            self.exchange(request)

    def exchange(self, request):
        self.sock.sendall(request)
        z, u = struct.unpack_from("<HH", recv_exact(self.sock, 16), 12)
        wire = recv_exact(self.sock, z)
        return wire if z == u else zlib.decompress(wire)[:u]

    def bars(self, category, market, code, start, count):
        body = self.exchange(bars_request(category, market, code, start, count))
        return pydecode_market.decode_bars(body, category, False)

    def close(self):
        self.sock.close()


def in_threads(make, codes):
    """Runs client.bars for every code on THREADS threads, a client each."""
    local = threading.local()
    clients = []

    def job(code):
        if not hasattr(local, "c"):
            local.c = make()
            clients.append(local.c)
        return local.c.bars(DAY, 1, code, 0, BARS)

    with concurrent.futures.ThreadPoolExecutor(THREADS) as pool:
        out = list(pool.map(job, codes))
    for c in clients:
        c.close() if hasattr(c, "close") else c.disconnect()
    return out


def core_client(port):
    c = TdxClient()
    c.connect("127.0.0.1", port)
    c.close = c.disconnect
    c.bars = c.get_security_bars
    return c


class CoreClient:
    def __init__(self, port):
        self.c = TdxClient()
        self.c.connect("127.0.0.1", port)

    def bars(self, *args):
        return self.c.get_security_bars(*args)

    def close(self):
        self.c.disconnect()


# ------------------------------------------------------------------ measuring

class StallWatch:
    """Another Python thread that sleeps 1 ms at a time and records its longest stall."""

    def __init__(self):
        self.worst = 0.0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        clock = time.perf_counter
        while not self.stop.is_set():
            t0 = clock()
            time.sleep(0.001)
            self.worst = max(self.worst, clock() - t0 - 0.001)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def cpu_now():
    """User and system CPU seconds of this process, every thread."""
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime, r.ru_stime


def measure(fn, server, reps):
    """Best wall time of `reps` runs with the server's CPU in that run, and the least client
    CPU of the runs (the statistic of the inflating baselines); then one more run beside a
    thread that records its worst stall (it costs CPU of its own)."""
    best, least, result = None, None, None
    for _ in range(reps):
        gc.collect()
        gc.disable()
        (user0, sys0), scpu0 = cpu_now(), server.cpu()
        t0 = time.perf_counter()
        out = fn()
        wall = time.perf_counter() - t0
        user1, sys1 = cpu_now()
        gc.enable()
        # The last run's result lived through this run, as in a loop that reassigns a name,
        # and is freed outside the clock.
        result = out
        run = {"wall": wall, "server_cpu": server.cpu() - scpu0}
        if best is None or wall < best["wall"]:
            best = run
        if least is None or user1 - user0 + sys1 - sys0 < sum(least):
            least = (user1 - user0, sys1 - sys0)
    best["user"], best["system"] = least
    best["cpu"] = sum(least)
    with StallWatch() as watch:
        fn()
    best["stall_ms"] = watch.worst * 1000
    return best, result


def check_equal(name, want, got):
    if want != got:
        raise SystemExit(f"{name}: results differ from core-seq's")


def hq_rows(frame, codes):
    """The frame's bars per security as core-seq's dicts (for the check)."""
    import numpy as np
    out = []
    times = frame.index.strftime("%Y-%m-%d 15:00").tolist()
    cols = {c: frame[c].to_numpy() for c in ("open", "high", "low", "close", "volume", "amount")}
    bounds = np.cumsum([0] + frame.symbol.value_counts(sort=False).reindex(
        ["sh" + c for c in codes]).tolist())
    for i in range(len(codes)):
        lo, hi = bounds[i], bounds[i + 1]
        out.append([{"datetime": times[j], "open": cols["open"][j], "high": cols["high"][j],
                     "low": cols["low"][j], "close": cols["close"][j], "vol": cols["volume"][j],
                     "amount": cols["amount"][j]} for j in range(lo, hi)])
    return out


def throughput(answers_path, codes, latency, reps, slow_reps, sim_workers=0):
    server = SimServer(latency, sim_workers) if sim_workers else ReplayServer(answers_path, latency)
    port = server.port
    try:
        results = {}

        def core_seq():
            c = TdxClient()
            c.connect("127.0.0.1", port)
            out = [c.get_security_bars(DAY, 1, code, 0, BARS) for code in codes]
            c.disconnect()
            return out

        results["core-seq"], want = measure(core_seq, server, slow_reps)
        results["core-8thr"], got = measure(lambda: in_threads(lambda: CoreClient(port), codes),
                                            server, slow_reps)
        check_equal("core-8thr", want, got)
        results["py-8thr"], got = measure(lambda: in_threads(lambda: PyClient(port), codes),
                                          server, reps)
        check_equal("py-8thr", want, got)
        # The servers' counts of lots, as core-seq's dicts hold them.
        with HQ([f"127.0.0.1:{port}"], connections=THREADS, lots=True) as hq:
            hq.bars_many(codes, count=BARS)  # lists fetched, connections open
            results["hq"], frame = measure(lambda: hq.bars_many(codes, count=BARS), server, reps)
        check_equal("hq", want, hq_rows(frame, codes))
        results["ideal"] = {"wall": len(codes) * latency / 1000 / THREADS}
        with StallWatch() as watch:  # this machine's own scheduling delays, nothing running
            time.sleep(results["hq"]["wall"])
        results["idle-stall"] = watch.worst * 1000
        return results
    finally:
        server.stop()


def zlib_inflater(bodies):
    """A call inflating every body with zlib."""
    def run():
        for wire, _ in bodies:
            zlib.decompress(wire)
    return run


def libdeflate_inflater(bodies):
    """A call inflating every body with libdeflate (a ctypes call per body), the engine's
    inflater, or None without the library."""
    import ctypes
    try:
        lib = ctypes.CDLL("libdeflate.so.0")
    except OSError:
        return None
    lib.libdeflate_alloc_decompressor.restype = ctypes.c_void_p
    inflate = lib.libdeflate_zlib_decompress
    inflate.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p,
                        ctypes.c_size_t, ctypes.c_void_p]
    d = lib.libdeflate_alloc_decompressor()  # one per run of the bench: never freed
    out = ctypes.create_string_buffer(max(size for _, size in bodies))
    if any(inflate(d, wire, len(wire), out, size, None) for wire, size in bodies):
        raise SystemExit("libdeflate: the bodies do not inflate")

    def run():
        for wire, size in bodies:
            inflate(d, wire, len(wire), out, size, None)
    return run


def client_cpu(answers_path, codes, bodies, latency, rounds):
    """Client CPU (ns per bar, least and median over `rounds`) of bars_many beside, in the same
    rounds and in rotation so that a machine's drift hits all alike: zlib and libdeflate
    inflating the same bodies, and the bare exchanges of the job (bench/floor_exchange.c: the
    same requests on THREADS connections, nothing inflated or decoded) by a blocking thread
    per connection and by one epoll loop. Also the median of the rounds' bars_many / zlib."""
    import statistics
    from _cbuild import build
    from _rounds import paired_ratio, time_rounds
    floor = build(os.path.join(HERE, "floor_exchange.c"), "floor_exchange")
    requests = [bars_request(DAY, 1, code, 0, BARS) for code in codes]
    server = ReplayServer(answers_path, latency)
    try:
        with HQ([f"127.0.0.1:{server.port}"], connections=THREADS) as hq:
            hq.bars_many(codes, count=BARS)
            contenders = {
                "bars_many": lambda: hq.bars_many(codes, count=BARS),
                "zlib": zlib_inflater(bodies),
                "libdeflate": libdeflate_inflater(bodies),
                "exchanges, threads": lambda: floor.exchange_cpu(server.port, requests, THREADS,
                                                                 False),
                "exchanges, epoll": lambda: floor.exchange_cpu(server.port, requests, THREADS,
                                                               True),
            }
            contenders = {k: v for k, v in contenders.items() if v is not None}
            samples = time_rounds(contenders, rounds, clock=time.process_time_ns)
    finally:
        server.stop()
    bars = len(codes) * BARS
    out = {name: {"least": min(ns) / bars, "median": statistics.median(ns) / bars}
           for name, ns in samples.items()}
    out["ratio"] = paired_ratio(samples, "bars_many", "zlib")
    return out


def single_bars_cost(answers_path, codes, calls, rounds):
    """Client CPU (ns per bar) of one 800-bar HQ.bars() call, frame included, at no latency:
    the least over `rounds` rounds of `calls` calls."""
    from _rounds import time_rounds
    server = ReplayServer(answers_path, 0)
    try:
        with HQ([f"127.0.0.1:{server.port}"], connections=1) as hq:
            hq.bars(codes[0], count=BARS)

            def run():
                for i in range(calls):
                    hq.bars(codes[i % len(codes)], count=BARS)
            ns = time_rounds({"bars": run}, rounds, clock=time.process_time_ns)["bars"]
    finally:
        server.stop()
    return min(ns) / (calls * BARS)


def memory_probe(answers_path, codes):
    """Resident high-water above a warm baseline during bars_many, in a fresh process."""
    code = f"""
import gc, json, resource, sys
sys.path.insert(0, {HERE!r})
from bench_hq import ReplayServer
from pelmora import HQ
import pandas
codes = {codes!r}
server = ReplayServer({answers_path!r}, 0)
with HQ([f"127.0.0.1:{{server.port}}"], connections={THREADS}) as hq:
    hq.bars_many(codes[:{THREADS}], count={BARS})
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the resident high-water mark starts again from here
    with open("/proc/self/statm") as f:
        base = int(f.read().split()[1]) * resource.getpagesize()
    frame = hq.bars_many(codes, count={BARS})
    with open("/proc/self/status") as f:
        peak = [int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:")][0]
    print(json.dumps({{"peak_above_base": peak - base,
                      "frame": int(frame.memory_usage(deep=True).sum())}}))
server.stop()
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    if out.returncode:
        raise SystemExit(out.stderr)
    return json.loads(out.stdout)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--latency", type=float, nargs="+", default=[10, 20, 50])
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--cpu-rounds", type=int, default=9)
    p.add_argument("--json", action="store_true")
    p.add_argument("--sim-workers", type=int, default=0, metavar="N",
                   help="time against the simulated server with N workers instead of the "
                        "replaying one (its CPU bounds the result on a small machine)")
    args = p.parse_args()

    answers, codes, bodies = build_market(SECURITIES, BARS)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "answers.pickle")
        with open(path, "wb") as f:
            pickle.dump(answers, f)
        report = {"throughput": {}}
        for latency in args.latency:
            report["throughput"][latency] = throughput(path, codes, latency, args.reps, 1,
                                                       args.sim_workers)
        report["client_cpu"] = client_cpu(path, codes, bodies, 20, args.cpu_rounds)
        report["bars_ns_per_bar"] = single_bars_cost(path, codes, 20, args.cpu_rounds)
        report["memory"] = memory_probe(path, codes)
        report["bars_in_job"] = SECURITIES * BARS
    if args.json:
        print(json.dumps(report, indent=1))
        return
    print_report(report)


def print_report(r):
    n = r["bars_in_job"]
    for latency, res in r["throughput"].items():
        hq = res["hq"]
        print(f"\n{SECURITIES} x {BARS} daily bars, {latency:g} ms round trip")
        print(f"{'client':<10} {'wall s':>7} {'vs hq':>6} {'client CPU ns/bar':>18} "
              f"{'server CPU %':>13} {'worst stall ms':>15}")
        for name in ("ideal", "core-seq", "core-8thr", "py-8thr", "hq"):
            x = res[name]
            if name == "ideal":
                print(f"{name:<10} {x['wall']:7.3f} {x['wall'] / hq['wall']:6.2f}")
                continue
            print(f"{name:<10} {x['wall']:7.3f} {x['wall'] / hq['wall']:6.2f} "
                  f"{x['cpu'] * 1e9 / n:18.0f} {100 * x['server_cpu'] / x['wall']:13.1f} "
                  f"{x['stall_ms']:15.1f}")
        print(f"worst stall of a thread beside nothing at all: {res['idle-stall']:.1f} ms")
        print(f"hq / ideal = {hq['wall'] / res['ideal']['wall']:.2f} (target <= 1.25); "
              f"core-seq / hq = {res['core-seq']['wall'] / hq['wall']:.1f} (>= 6); "
              f"py-8thr / hq = {res['py-8thr']['wall'] / hq['wall']:.1f} (>= 2)")
    cpu = r["client_cpu"]
    print(f"\nclient CPU at 20 ms, in rotation over {len(cpu) - 1} contenders (ns/bar, least / "
          "median of the rounds):")
    for name, x in cpu.items():
        if name != "ratio":
            print(f"  {name:<20} {x['least']:6.0f} {x['median']:6.0f}")
    zlib_least, hq_least = cpu["zlib"]["least"], cpu["bars_many"]["least"]
    print(f"bars_many, wire to frame / zlib inflating the same bodies: {cpu['ratio']:.2f} "
          f"(median of the rounds' ratios; least / least {hq_least / zlib_least:.2f}; target < 1)")
    if "libdeflate" in cpu:
        least = cpu["libdeflate"]["least"] + cpu["exchanges, epoll"]["least"]
        print(f"libdeflate plus the cheaper bare exchanges, before any decoding: {least:.0f} "
              f"ns/bar = {least / zlib_least:.2f} x zlib")
    print(f"one 800-bar bars(): {r['bars_ns_per_bar']:.0f} ns/bar, frame included (target <= 450)")
    m = r["memory"]
    flight = THREADS * 2 * 65536
    print(f"peak memory above a warm baseline: {m['peak_above_base'] / 2**20:.1f} MiB; final "
          f"frame {m['frame'] / 2**20:.1f} MiB; bound 2 x frame + bodies in flight = "
          f"{(2 * m['frame'] + flight) / 2**20:.1f} MiB")


if __name__ == "__main__":
    main()
