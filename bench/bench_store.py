"""pelmora sync and Store against the simulated market at its full size.

Run after `pip install .` as `python bench/bench_store.py` (`--json` for one JSON object).
Not a test: figures are printed with their ratio to the ideal of the same run, the requests the
sync made times the round trip over the connections (the server's answers held `--latency`
ms). Steps: a full sync of daily history; one more simulated day and the update; reading one
security's whole adjusted daily history and every close of one date from a second process
while a sync runs (checksums included); the checksum of every row and SQLite's integrity check
over the whole store (`sync --check`; each sync runs the checksums part first); the store's size
per bar; and, in `--rounds` rounds on a market of `--cpu-securities` without latency, the CPU
time of the syncing process per bar written by a full sync and by the update after it. "update"
meets a simulator that builds each
security's history on its first request (its CPU, not the client's, sets the pace on two
cores); "rerun" syncs the same day again against the now warm simulator: the same requests.
"""
import argparse
import gc
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

from pelmora.store import Store, sync
from pelmora.store import schema
from pelmora.store.reader import mismatched
from pelmora.store.check import damaged
from pelmora.testing import SimulatedServer

DAY, NEXT = 20250613, 20250616
DATE = f"{DAY // 10000}-{DAY // 100 % 100:02d}-{DAY % 100:02d}"

READER = r"""
import sys, time, json
from pelmora.store import Store
store = Store(sys.argv[1])
one, market = [], []
for _ in range(int(sys.argv[2])):
    t = time.perf_counter(); f = store.bars("600036", adjust="qfq"); one.append(time.perf_counter() - t)
    t = time.perf_counter()
    m = store.bars_many(start=sys.argv[3], end=sys.argv[3])["close"]
    market.append(time.perf_counter() - t)
    time.sleep(0.05)
print(json.dumps({"one_ms": sorted(one)[len(one) // 2] * 1e3, "rows": len(f),
                  "market_ms": sorted(market)[len(market) // 2] * 1e3, "closes": len(m)}))
"""


def _timed(folder, server, args):
    cpu = resource.getrusage(resource.RUSAGE_SELF)
    began = time.perf_counter()
    summary = sync(folder, [server], connections=args.connections)
    wall = time.perf_counter() - began
    after = resource.getrusage(resource.RUSAGE_SELF)
    client_cpu = after.ru_utime + after.ru_stime - cpu.ru_utime - cpu.ru_stime
    ideal = summary.requests * args.latency / 1000 / args.connections
    return {"wall_s": round(wall, 2), "requests": summary.requests,
            "ideal_s": round(ideal, 2), "ratio": round(wall / ideal, 2),
            "securities": summary.securities, "bars_added": summary.added,
            "failed": len(summary.failures), "client_cpu_s": round(client_cpu, 1),
            "load": round(os.getloadavg()[0], 1)}


def cpu_rounds(args):
    """CPU seconds of the syncing process (all its threads, the engine's too) per bar written,
    by a full sync and by the update a day later, in `args.rounds` rounds: the medians and
    every round's figures."""
    runs = {"full": [], "update": []}
    for _ in range(args.rounds):
        folder = tempfile.mkdtemp(prefix="pelmora-bench-cpu-")
        try:
            for step, today in (("full", DAY), ("update", NEXT)):
                with SimulatedServer(seed=1, today=today, securities=args.cpu_securities,
                                     workers=args.workers) as s:
                    gc.collect()
                    gc.disable()
                    try:
                        began = time.process_time()
                        summary = sync(folder, [f"{s.host}:{s.port}"],
                                       connections=args.connections)
                        cpu = time.process_time() - began
                    finally:
                        gc.enable()
                bars = summary.added + summary.replaced
                assert summary.ok and bars > 0, summary
                runs[step].append({"cpu_s": round(cpu, 3), "bars": bars,
                                   "us_per_bar": round(cpu / bars * 1e6, 3)})
        finally:
            shutil.rmtree(folder, ignore_errors=True)
    return {step: {"median_us_per_bar": sorted(r["us_per_bar"] for r in rs)[len(rs) // 2],
                   "runs": rs} for step, rs in runs.items()}


def timed_sync(folder, today, args, runs=1):
    """The figures of `runs` syncs in a row against one server; the simulator generates a
    security's history on its first request, so the later runs meet a warm server."""
    with SimulatedServer(seed=1, today=today, latency=args.latency,
                         workers=args.workers) as s:
        return [_timed(folder, f"{s.host}:{s.port}", args) for _ in range(runs)]


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--latency", type=float, default=20)
    p.add_argument("--workers", type=int, default=4)
    p.add_argument("--connections", type=int, default=8)
    p.add_argument("--rounds", type=int, default=3, help="rounds of the CPU measurement")
    p.add_argument("--cpu-securities", type=int, default=1500)
    p.add_argument("--only-cpu", action="store_true", help="the CPU measurement alone")
    p.add_argument("--json", action="store_true")
    args = p.parse_args()
    if args.only_cpu:
        out = {"cpu": cpu_rounds(args)}
        print(json.dumps(out) if args.json else _cpu_text(out["cpu"], args))
        return
    folder = tempfile.mkdtemp(prefix="pelmora-bench-store-")
    try:
        out = {"full": timed_sync(folder, DAY, args)[0]}
        db = os.path.join(folder, "pelmora.sqlite")
        with Store(folder) as store:
            bars = store.sql("SELECT sum(bars) AS n FROM blocks_day").n[0]
        size = os.path.getsize(db) + sum(os.path.getsize(db + x) for x in ("-wal",)
                                         if os.path.exists(db + x))
        out["size"] = {"bars": int(bars), "bytes": size, "bytes_per_bar": round(size / bars, 1)}
        con = schema.connect(folder, readonly=True)
        began = time.perf_counter()
        for table in schema.CHECKED_TABLES + ("blocks_day",):
            mismatched(con, table, "1")
        rows_s = time.perf_counter() - began
        began = time.perf_counter()
        found = damaged(con)
        out["verify"] = {"checksums_s": round(rows_s, 2),
                         "check_s": round(time.perf_counter() - began, 2), "found": len(found)}
        con.close()
        idle = subprocess.run([sys.executable, "-c", READER, folder, "20", DATE],
                              capture_output=True, text=True, check=True)
        out["read_idle"] = json.loads(idle.stdout)
        reader = subprocess.Popen([sys.executable, "-c", READER, folder, "40", DATE],
                                  stdout=subprocess.PIPE, text=True)
        out["update"], out["rerun"] = timed_sync(folder, NEXT, args, runs=2)
        out["read_during_sync"] = json.loads(reader.communicate()[0])
        out["cpu"] = cpu_rounds(args)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    if args.json:
        print(json.dumps(out))
        return
    for step in ("full", "update", "rerun"):
        r = out[step]
        print(f"{step:7s} {r['wall_s']:8.1f} s  ideal {r['ideal_s']:7.1f} s  ratio "
              f"{r['ratio']:.2f}  requests {r['requests']:,}  securities {r['securities']:,}  "
              f"bars {r['bars_added']:,}  failed {r['failed']}  sync process CPU "
              f"{r['client_cpu_s']} s  load {r['load']}")
    for key, when in (("read_idle", "no sync"), ("read_during_sync", "during a sync")):
        r = out[key]
        print(f"read    one security adjusted ({r['rows']} bars) {r['one_ms']:.1f} ms; every "
              f"close of one date ({r['closes']} rows) {r['market_ms']:.1f} ms  (medians, "
              f"{when})")
    v = out["verify"]
    print(f"verify  every row's checksum {v['checksums_s']:.2f} s; with SQLite's integrity "
          f"check {v['check_s']:.2f} s; {v['found']} found")
    print(_cpu_text(out["cpu"], args))
    s = out["size"]
    print(f"size    {s['bytes'] / 1e6:.1f} MB for {s['bars']:,} daily bars: "
          f"{s['bytes_per_bar']} bytes a bar")


def _cpu_text(cpu, args):
    return "\n".join(
        f"cpu     {step:6s} {r['median_us_per_bar']:9.3f} us a bar of sync process CPU (median "
        f"of {len(r['runs'])}: " + ", ".join(f"{x['cpu_s']} s / {x['bars']:,} bars"
                                              for x in r["runs"]) + f"; "
        f"{args.cpu_securities:,} securities)" for step, r in cpu.items())


if __name__ == "__main__":
    main()
