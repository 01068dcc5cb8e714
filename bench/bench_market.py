"""Decoding speed of K-line bars and quotes: pelmora against a pure-Python decoder and a C floor.

Run after `pip install .` as `python bench/bench_market.py` (or with PYTHONPATH=. in a
development tree); `--json` prints one JSON object instead of the table.

What is measured, per record:
  pelmora   the client call through the fake HQ server (tests/fakehq.py) for a full body, minus
            the same call for a body of the same wire size that holds no record (count 0 and
            padding): both pay the same request, header, read of the bytes and Python call, so
            the difference is the decoding and the building of the result list.
  python    bench/pydecode_market.py decoding the same bytes in this process (no network).
  floor     bench/floor_market.c building the same list of dicts (same keys, value types and
            values) from values decoded beforehand: the cost of the Python objects alone.
Each timing is the fastest of many single calls (the least disturbed by other processes) with the garbage collector off; the results
are compared with each other before timing (the correctness column).
"""
import argparse
import gc
import json
import os
import random
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import pydecode_market  # noqa: E402
from _cbuild import build  # noqa: E402
from fakehq import FakeHQ  # noqa: E402

from pelmora._core import TdxClient  # noqa: E402

MAX_BODY = 65535


def varint(v):
    """The variable-length signed integer of HQ bodies."""
    m = -v if v < 0 else v
    first = (m & 0x3F) | (0x40 if v < 0 else 0)
    m >>= 6
    out = bytearray()
    while True:
        out.append(first | (0x80 if m else 0)) if not out else None
        if not m:
            break
        b = m & 0x7F
        m >>= 7
        out.append(b | (0x80 if m else 0))
    return bytes(out)


def volume_word(rng):
    # Exponent bytes of typical volumes and turnovers (about 1e3 to 1e10).
    return struct.pack("<I", rng.randrange(1 << 24) | (rng.randrange(0x45, 0x50) << 24))


def bar_record(rng, day, first, index):
    """One daily bar (category 9); prices move by a few ticks like a real series."""
    rec = struct.pack("<I", day) + varint(10500 if first else rng.randint(-60, 60))
    rec += varint(rng.randint(-300, 300)) + varint(rng.randint(0, 200)) + varint(-rng.randint(0, 200))
    rec += volume_word(rng) + volume_word(rng)
    if index:
        rec += struct.pack("<HH", rng.randrange(3000), rng.randrange(3000))
    return rec


def bars_body(count, index=False, seed=1):
    """(body, bar count); count=None fills the body with as many bars as fit in 65535 bytes."""
    rng = random.Random(seed)
    recs, size, i = [], 2, 0
    while count is None or i < count:
        rec = bar_record(rng, 20000101 + i, i == 0, index)
        if count is None and size + len(rec) > MAX_BODY:
            break
        recs.append(rec)
        size += len(rec)
        i += 1
    return struct.pack("<H", len(recs)) + b"".join(recs), len(recs)


def quote_entry(rng, i):
    price = rng.randint(100, 500000)
    e = bytes([i & 1]) + b"%06d" % (600000 + i) + b"\0\0" + varint(price)
    e += b"".join(varint(rng.randint(-price // 10, price // 10)) for _ in range(4))  # close, o, h, l
    e += varint(rng.randint(9000000, 15000000)) + varint(0)  # servertime, skipped
    e += varint(rng.randint(0, 10 ** 8)) + varint(rng.randint(0, 10 ** 4)) + volume_word(rng)
    e += varint(rng.randint(0, 10 ** 7)) + varint(rng.randint(0, 10 ** 7)) + varint(0) + varint(0)
    for lvl in range(1, 6):
        e += varint(-lvl) + varint(lvl) + varint(rng.randint(0, 10 ** 5)) + varint(rng.randint(0, 10 ** 5))
    return e + b"\0\0" + varint(0) * 4 + b"\0\0\0\0"


def quotes_body(count, seed=2):
    rng = random.Random(seed)
    return b"\0\0" + struct.pack("<H", count) + b"".join(quote_entry(rng, i) for i in range(count)), count


def empty_like(body, count_offset):
    """A body of the same size whose record count is 0: same transport, nothing to decode."""
    return body[:count_offset] + b"\0\0" + bytes(len(body) - count_offset - 2)


def best_ns(fn, reps):
    times = []
    clock = time.perf_counter_ns
    for _ in range(reps):
        t0 = clock()
        fn()
        times.append(clock() - t0)
    return min(times)


def timed_calls(hq, call, full, empty, reps, batch):
    """Fastest times (ns) of client calls answered with the full and with the empty body, interleaved."""
    full_t, empty_t = [], []
    clock = time.perf_counter_ns
    done = 0
    while done < reps:
        k = min(batch, reps - done)
        for _ in range(k):  # the server answers in queue order
            hq.reply(full)
            hq.reply(empty)
        gc.collect()
        for _ in range(k):
            t0 = clock()
            call()
            t1 = clock()
            call()
            t2 = clock()
            full_t.append(t1 - t0)
            empty_t.append(t2 - t1)
        done += k
    return min(full_t), min(empty_t)


def run_case(hq, client, floor, name, body, records, count_offset, call, pydecode, floor_load,
             floor_build, reps):
    # Correctness first: the three producers must give the same list.
    hq.reply(body)
    ours = call()
    reference = pydecode(body)
    floor_load(ours)
    checks = {
        "pelmora == python": ours == reference and len(ours) == records,
        "floor == pelmora": all(floor_build(m) == ours for m in (0, 1)),
        "key order": [list(d) for d in ours] == [list(d) for d in reference],
    }
    hq.reply(empty_like(body, count_offset))
    checks["empty body gives []"] = call() == []

    gc.collect()
    gc.disable()
    try:
        full_ns, empty_ns = timed_calls(hq, call, body, empty_like(body, count_offset), reps, 100)
        py_ns = best_ns(lambda: pydecode(body), max(20, reps // 5))
        floor_ns = {m: best_ns(lambda: floor_build(m), reps) for m in (0, 1)}
    finally:
        gc.enable()
    ours_ns = full_ns - empty_ns
    best_floor = min(floor_ns.values())
    return {
        "case": name,
        "records": records,
        "body_bytes": len(body),
        "correct": all(checks.values()),
        "checks": checks,
        "call_full_ns": full_ns,
        "call_empty_ns": empty_ns,
        "pelmora_ns_per_record": ours_ns / records,
        "python_ns_per_record": py_ns / records,
        "floor_ns_per_record": best_floor / records,
        "floor_copy_ns_per_record": floor_ns[0] / records,
        "floor_new_ns_per_record": floor_ns[1] / records,
        "speedup_vs_python": py_ns / ours_ns,
        "ratio_to_floor": ours_ns / best_floor,
        "end_to_end_speedup": (empty_ns + py_ns) / full_ns,
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", action="store_true", help="print one JSON object")
    parser.add_argument("--reps", type=int, default=400, help="timed calls per measurement")
    args = parser.parse_args(argv)

    floor = build(os.path.join(HERE, "floor_market.c"), "floor_market")
    results = []
    with FakeHQ() as hq:
        client = TdxClient()
        client.connect("127.0.0.1", hq.port)
        for name, (body, n), index in (
            ("security bars, 800", bars_body(800), False),
            ("security bars, full 64 KiB body", bars_body(None), False),
            ("index bars, 800", bars_body(800, index=True), True),
        ):
            results.append(run_case(
                hq, client, floor, name, body, n, 0,
                (lambda i=index: (client.get_index_bars if i else client.get_security_bars)(9, 1, "600036", 0, 800)),
                lambda b, i=index: pydecode_market.decode_bars(b, 9, i),
                lambda recs, i=index: floor.load_bars(recs, i), floor.bars, args.reps))
        body, n = quotes_body(80)
        items = [(i & 1, "%06d" % (600000 + i)) for i in range(80)]
        results.append(run_case(
            hq, client, floor, "quotes, 80", body, n, 2,
            lambda: client.get_security_quotes(items), pydecode_market.decode_quotes,
            floor.load_quotes, floor.quotes, args.reps))
        client.disconnect()

    if args.json:
        print(json.dumps({"python": sys.version.split()[0], "results": results}, indent=2))
    else:
        print(__doc__.split("\n\n", 1)[1].split("Each timing")[0].rstrip())
        print(f"\nCPython {sys.version.split()[0]}; fastest of {args.reps} calls; ns per record.\n")
        head = f"{'case':34} {'records':>7} {'pelmora':>8} {'python':>8} {'floor':>7} {'vs python':>9} {'/ floor':>7} {'e2e':>5} ok"
        print(head)
        print("-" * len(head))
        for r in results:
            print(f"{r['case']:34} {r['records']:7d} {r['pelmora_ns_per_record']:8.1f} "
                  f"{r['python_ns_per_record']:8.1f} {r['floor_ns_per_record']:7.1f} "
                  f"{r['speedup_vs_python']:8.1f}x {r['ratio_to_floor']:6.2f}x "
                  f"{r['end_to_end_speedup']:4.1f}x {'yes' if r['correct'] else 'NO ' + str(r['checks'])}")
        print("\nvs python: python / pelmora decode time (target >= 4); / floor: pelmora / floor "
              "(target <= 1.25);\ne2e: (empty call + python decode) / full pelmora call, the "
              "whole call as a user sees it.\nfloor = the cheaper of its two dict-building "
              "methods (copy of a prepared dict, or PyDict_New).")
        for r in results:
            print(f"  {r['case']}: full call {r['call_full_ns'] / 1e3:.1f} us, empty call "
                  f"{r['call_empty_ns'] / 1e3:.1f} us; floor copy {r['floor_copy_ns_per_record']:.1f}"
                  f" / new {r['floor_new_ns_per_record']:.1f} ns per record")
    return 0 if all(r["correct"] for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
