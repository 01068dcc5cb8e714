"""Cost of the simulated HQ server: server CPU per 800-bar daily page of never-touched and of
touched securities, in one process and across 4 worker processes; the same in one process for
the intraday categories (1, 5, 15, 30, 60 minutes), best of three, against the same pages made
by numpy's minute_bars and group (the baseline the compiled kernel replaces, checked to give the
same answers); a 1,000-row page of the security list and a
request of 80 quotes, with what the server's start-up prepares for them; the other answers about
one security (minute series, ticks, ex-rights records, finance), against a day's minutes and
ticks from numpy; and the round trip a TdxClient measures at --latency 20 against the same server
without latency.

    python -m bench.bench_server [--securities N] [--pages N] [--json]
"""
import argparse
import contextlib
import gc
import json
import multiprocessing
import os
import struct
import time

from pelmora import TdxClient
from pelmora.testing import SimulatedMarket, SimulatedServer
from pelmora.testing import market as market_module
from pelmora.testing.minutes import MinuteBars, Ticks, group, minute_bars, tick_rows
from pelmora.testing.protocol import Responder


# Category of each bar period the intraday figures cover.
PERIODS = {"day": 9, "1 min": 8, "5 min": 0, "15 min": 1, "30 min": 2, "60 min": 3}
ROUNDS = 3  # the period figures are the best of this many


def numpy_page(key, days, minutes, skip, take):
    """An intraday page as numpy makes it: every minute of the days, then grouped."""
    m = group(minute_bars(key, days), minutes)
    return MinuteBars(m.day, *(x.reshape(-1)[skip:skip + take] for x in m[1:]))


def numpy_ticks(key, m):
    """A day's ticks as numpy makes them."""
    return Ticks(*(x[0] for x in tick_rows(key, MinuteBars._make(x[:1] for x in m))))


@contextlib.contextmanager
def numpy_pages():
    """Intraday pages, a day's minutes and its ticks from numpy instead of the compiled
    module."""
    saved = market_module.page, market_module.ticks
    market_module.page, market_module.ticks = numpy_page, numpy_ticks
    try:
        yield
    finally:
        market_module.page, market_module.ticks = saved


def same_pages(securities, count=30):
    """Whether both ways give the same answer bytes, for every intraday period and two pages
    of `count` securities, and for their ticks."""
    market = SimulatedMarket(securities=securities)
    keys = [s.key for m in (1, 0) for s in market.securities(m)]
    keys = keys[::len(keys) // count]
    requests = [bars_request(*k, start, category) for k in keys for start in (0, 800)
                for category in PERIODS.values() if category != 9]
    requests += [request(0x0FC5, struct.pack("<H", m) + c.encode() + struct.pack("<HH", 0, 2000))
                 for m, c in keys]
    compiled = [Responder(market).respond(r) for r in requests]
    responder = Responder(SimulatedMarket(securities=securities))
    with numpy_pages():
        numpy = [responder.respond(r) for r in requests]
    return compiled == numpy


def best_of(rounds, run):
    """The least of each figure over `rounds` runs."""
    results = [run() for _ in range(rounds)]
    return tuple(min(r[i] for r in results) for i in range(len(results[0])))


def bars_request(market, code, start, category=9):
    params = (struct.pack("<H", market) + code.encode()
              + struct.pack("<HHHH", category, 1, start, 800))
    n = 2 + len(params)
    return b"\x0c\x01\x02\x03\x04\x05" + struct.pack("<HHH", n, n, 0x052D) + params


def request(command, params):
    n = 2 + len(params)
    return b"\x0c\x01\x02\x03\x04\x05" + struct.pack("<HHH", n, n, command) + params


def list_and_quotes(securities, pages):
    """CPU ms of what the server prepares at start-up, then per answer: the list pages of both
    markets (first and second time asked) and 80-quote requests of never-touched and then
    touched securities."""
    market = SimulatedMarket(securities=securities)
    keys = [s.key for m in (1, 0) for s in market.securities(m)][-pages:]
    lists = [request(0x0450, struct.pack("<HH", m, start)) for m in (1, 0)
             for start in range(0, len(market.securities(m)), 1000)]
    quotes = [request(0x053E, bytes(8) + struct.pack("<H", len(group)) + b"".join(
        bytes((m,)) + code.encode() for m, code in group))
        for group in (keys[i:i + 80] for i in range(0, len(keys), 80))]
    gc.disable()
    try:
        t0 = time.process_time()
        responder = Responder(market)
        responder.prepare()
        t1 = time.process_time()
        times = []
        for batch in (lists, lists, quotes, quotes):
            t = time.process_time()
            sizes = [len(responder.respond(r)) for r in batch]
            times.append((time.process_time() - t) / len(batch) * 1000)
            assert all(size > 16 + 2 for size in sizes)
    finally:
        gc.enable()
    return (t1 - t0) * 1000, times


def per_security_kinds(securities, pages):
    """CPU ms per answer about one security, of never-touched and then touched securities:
    today's and a past day's minute series and ticks, ex-rights records and finance."""
    market = SimulatedMarket(securities=securities)
    responder = Responder(market)
    responder.prepare()
    keys = [s.key for m in (1, 0) for s in market.securities(m)]
    day = struct.pack("<I", market.days[-4])

    def params(kind, market, code):
        c = code.encode()
        return {"minute series": (0x051D, struct.pack("<H", market) + c + bytes(4)),
                "past minutes": (0x0FB4, day + bytes((market,)) + c),
                "ticks": (0x0FC5, struct.pack("<H", market) + c + struct.pack("<HH", 0, 2000)),
                "past ticks": (0x0FB5, day + struct.pack("<H", market) + c
                               + struct.pack("<HH", 0, 2000)),
                "xdxr": (0x000F, struct.pack("<HB", 1, market) + c),
                "finance": (0x0010, struct.pack("<HB", 1, market) + c)}[kind]
    out = {}
    gc.disable()
    try:
        for i, kind in enumerate(("minute series", "past minutes", "ticks", "past ticks", "xdxr",
                                  "finance")):
            batch = [request(*params(kind, *k)) for k in keys[i * pages:(i + 1) * pages]]
            times = []
            for _ in range(2):
                t = time.process_time()
                sizes = [len(responder.respond(r)) for r in batch]
                times.append((time.process_time() - t) / len(batch) * 1000)
                assert sum(size > 16 + 8 for size in sizes) > len(batch) // 2
            out[kind] = times
    finally:
        gc.enable()
    return out


def in_process(securities, pages, category=9, skip=0):
    """CPU ms per answer: first page of never-touched securities, then a deeper page of each;
    `skip` passes over the securities an earlier call touched."""
    market = SimulatedMarket(securities=securities)
    responder = Responder(market)
    keys = [s.key for m in (1, 0) for s in market.securities(m)]
    skip = min(skip, max(0, len(keys) - pages))
    keys = keys[skip:skip + pages]
    gc.disable()
    try:
        t0 = time.process_time()
        sizes = [len(responder.respond(bars_request(*k, 0, category))) for k in keys]
        t1 = time.process_time()
        for k in keys:
            responder.respond(bars_request(*k, 800, category))
        t2 = time.process_time()
    finally:
        gc.enable()
    assert all(size > 16 for size in sizes)
    return (t1 - t0) / len(keys) * 1000, (t2 - t1) / len(keys) * 1000


def _cpu_of(pids):
    ticks = 0
    for pid in pids:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks += int(fields[11]) + int(fields[12])
    return ticks / os.sysconf("SC_CLK_TCK")


def _client(args):
    host, port, keys, start = args
    c = TdxClient()
    c.connect(host, port)
    got = sum(len(c.get_security_bars(9, *k, start, 800)) > 0 for k in keys)
    c.disconnect()
    return got


def _children(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as f:
        return [int(p) for p in f.read().split()]


def across_workers(securities, pages, workers, clients=16):
    """Server CPU ms per answer (all worker processes summed), never-touched then touched;
    the touched pass may land on another worker, which then generates the security anew."""
    market = SimulatedMarket(securities=securities)
    keys = [s.key for m in (1, 0) for s in market.securities(m)][:pages]
    with SimulatedServer(securities=securities, workers=workers) as server:
        pids = [server._proc.pid] + _children(server._proc.pid)
        shares = [keys[i::clients] for i in range(clients)]
        out = []
        with multiprocessing.get_context("spawn").Pool(clients) as pool:
            for start in (0, 800):
                before = _cpu_of(pids)
                got = sum(pool.map(_client, [(server.host, server.port, s, start) for s in shares]))
                out.append((_cpu_of(pids) - before) / len(keys) * 1000)
                assert got == len(keys) or start == 800
    return out


def round_trip(latency, count=30):
    """Round trips in ms a TdxClient measures: a 2-byte answer and an 800-bar page."""
    with SimulatedServer(fill=20, latency=latency) as server:
        c = TdxClient()
        c.connect(server.host, server.port)
        c.get_security_bars(9, 1, "600036", 0, 800)
        t = time.perf_counter()
        for _ in range(count):
            assert c.get_security_count(1) == 26
        t1 = time.perf_counter()
        for _ in range(count):
            assert len(c.get_security_bars(9, 1, "600036", 0, 800)) == 800
        t2 = time.perf_counter()
        return (t1 - t) / count * 1000, (t2 - t1) / count * 1000


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--securities", type=int, default=5200)
    p.add_argument("--pages", type=int, default=400, help="securities asked for (default 400)")
    p.add_argument("--json", action="store_true")
    args = p.parse_args()
    first, touched = in_process(args.securities, args.pages)
    # Fresh securities per period, so that each first page finds its security never touched.
    periods, numpy = {}, {}
    for i, (name, category) in enumerate(PERIODS.items()):
        def run(category=category, skip=i * args.pages):
            return in_process(args.securities, args.pages, category, skip)
        periods[name] = best_of(ROUNDS, run)
        if category != 9:
            with numpy_pages():
                numpy[name] = best_of(ROUNDS, run)
    assert same_pages(args.securities)
    start_up, (list_first, list_again, quote_first, quote_touched) = list_and_quotes(
        args.securities, args.pages)
    kinds = per_security_kinds(args.securities, args.pages)
    with numpy_pages():
        kinds_numpy = per_security_kinds(args.securities, args.pages)
    w1 = across_workers(args.securities, args.pages, 1)
    w4 = across_workers(args.securities, args.pages, 4)
    plain, slow = round_trip(0), round_trip(20)
    result = {"in_process_ms": {"never_touched": first, "touched": touched},
              "workers_1_ms": {"never_touched": w1[0], "touched": w1[1]},
              "workers_4_ms": {"never_touched": w4[0], "touched": w4[1]},
              "round_trip_ms": {"count_latency_0": plain[0], "count_latency_20": slow[0],
                                "bars_latency_0": plain[1], "bars_latency_20": slow[1]},
              "periods_ms": {name: {"never_touched": a, "touched": b}
                             for name, (a, b) in periods.items()},
              "periods_numpy_ms": {name: {"never_touched": a, "touched": b}
                                   for name, (a, b) in numpy.items()},
              "start_up_prepare_ms": start_up,
              "list_page_ms": {"first": list_first, "again": list_again},
              "quotes_80_ms": {"never_touched": quote_first, "touched": quote_touched},
              "per_security_ms": {kind: {"never_touched": a, "touched": b}
                                  for kind, (a, b) in kinds.items()},
              "per_security_numpy_ms": {kind: {"never_touched": a, "touched": b}
                                        for kind, (a, b) in kinds_numpy.items()}}
    if args.json:
        print(json.dumps(result))
        return
    print(f"server CPU per 800-bar daily answer ({args.pages} securities of {args.securities})")
    print(f"  in process        never touched {first:6.2f} ms   touched {touched:6.2f} ms"
          f"   ratio {first / touched:4.2f}")
    for name, (a, b) in (("1 worker ", w1), ("4 workers", w4)):
        print(f"  {name}         never touched {a:6.2f} ms   touched {b:6.2f} ms"
              f"   (x{a / first:4.2f} / x{b / touched:4.2f} of in process)")
    print(f"server CPU per 800-bar answer in process, by bar period, best of {ROUNDS} (ratio to"
          " day bars; numpy: the same pages from numpy's minute_bars and group, ratio of the"
          " compiled kernel's to them)")
    day_first, day_touched = periods["day"]
    for name, (a, b) in periods.items():
        line = (f"  {name:6}  never touched {a:6.2f} ms (x{a / day_first:4.2f})"
                f"   touched {b:6.2f} ms (x{b / day_touched:4.2f})")
        if name in numpy:
            na, nb = numpy[name]
            line += f"   numpy {na:5.2f} / {nb:5.2f} ms (x{a / na:4.2f} / x{b / nb:4.2f})"
        print(line)
    print(f"server start-up: prepared for {args.securities} securities {start_up:7.1f} ms")
    print(f"  1,000-row list page  first {list_first:6.2f} ms   again {list_again:6.2f} ms")
    print(f"  80 quotes            never touched {quote_first:6.2f} ms   touched "
          f"{quote_touched:6.2f} ms")
    print("server CPU per answer about one security, in process (numpy: a day's minutes and"
          " ticks from numpy)")
    for kind, (a, b) in kinds.items():
        na, nb = kinds_numpy[kind]
        print(f"  {kind:14}  never touched {a:6.2f} ms   touched {b:6.2f} ms"
              f"   numpy {na:5.2f} / {nb:5.2f} ms")
    for i, what in enumerate(("security count", "800-bar page  ")):
        print(f"round trip, {what}: latency 0 {plain[i]:6.2f} ms, latency 20 {slow[i]:6.2f} ms "
              f"(+{slow[i] - plain[i]:5.2f} ms)")


if __name__ == "__main__":
    main()
