"""Speed of read_daily_bars and read_minute_bars against a pure-Python reader and the floor.

Writes a 200,000-record .day file and a 200,000-record .lc1 file to a temporary directory and
times, in the same run and in rotation, for each file:

- pelmora: the module's reader;
- python: a pure-Python reader (struct.iter_unpack building the same dicts);
- floor: a minimal C function (floor_readers.c, compiled now) that builds the same number of
  dicts with the same keys and value types, reading no file at all; shown twice, copying a
  prepared dict (as the readers do) and starting from an empty dict.

Each timing is of the call alone (the result is released outside the timed region) with the
garbage collector off, in ns per record: the best and the median of the rounds. The ratios are
medians of the ratios within each round, which a busy machine disturbs least. The clock is the
thread's CPU time by default (time spent waiting for a shared CPU is not the reader's), or the
wall clock with --clock wall. Every contender's result is checked before it is timed.

    python bench/bench_readers.py [--records N] [--rounds R] [--clock cpu|wall] [--json]
"""

import argparse
import json
import os
import random
import statistics
import struct
import sys
import tempfile
import time

try:
    from ._cbuild import build
    from ._rounds import paired_ratio, time_rounds
except ImportError:
    from _cbuild import build
    from _rounds import paired_ratio, time_rounds

from pelmora._core import read_daily_bars, read_minute_bars

DAILY = struct.Struct("<5IfI4x")
MINUTE = struct.Struct("<HH5fI4x")
CLOCKS = {"cpu": time.thread_time_ns, "wall": time.perf_counter_ns}
HERE = os.path.dirname(os.path.abspath(__file__))


def write_daily(path, n, rng):
    with open(path, "wb") as f:
        date = 20000104
        for _ in range(n):
            date += 1
            if date % 100 > 28:
                date += 100 - date % 100 + 1
                if date % 10000 // 100 > 12:
                    date += 10000 - date % 10000 + 101
            o = rng.randrange(500, 50000)
            h, lo, c = o + rng.randrange(200), o - rng.randrange(200), o + rng.randrange(-100, 100)
            f.write(DAILY.pack(date, o, h, lo, c, rng.uniform(1e5, 1e9), rng.randrange(1 << 31)))


def write_minute(path, n, rng):
    with open(path, "wb") as f:
        for i in range(n):
            day = i // 240
            date = ((4 + day // 300) << 11) | (100 * (1 + day // 25 % 12) + 1 + day % 25)
            t = 570 + i % 240
            p = rng.uniform(5, 50)
            f.write(MINUTE.pack(date, t, p, p * 1.01, p * 0.99, p, rng.uniform(1e4, 1e7),
                                rng.randrange(1 << 20)))


def py_read_daily(path, price_coeff=0.01, vol_coeff=0.01):
    with open(path, "rb") as f:
        data = f.read()
    data = data[: len(data) // 32 * 32]
    return [
        {
            "date": f"{d // 10000}-{d % 10000 // 100:02}-{d % 100:02}",
            "open": price_coeff * o,
            "high": price_coeff * h,
            "low": price_coeff * lo,
            "close": price_coeff * c,
            "amount": a,
            "volume": vol_coeff * v,
        }
        for d, o, h, lo, c, a, v in DAILY.iter_unpack(data)
    ]


def py_read_minute(path):
    with open(path, "rb") as f:
        data = f.read()
    data = data[: len(data) // 32 * 32]
    return [
        {
            "datetime": f"{2004 + (d >> 11)}-{(d & 0x7FF) // 100:02}-{d % 2048 % 100:02} "
            f"{t // 60:02}:{t % 60:02}",
            "open": o,
            "high": h,
            "low": lo,
            "close": c,
            "amount": a,
            "volume": float(v),
        }
        for d, t, o, h, lo, c, a, v in MINUTE.iter_unpack(data)
    ]


def same_shape(result, expected):
    """The floor's result against the reader's: length, keys in order and value types."""
    if len(result) != len(expected):
        return False
    for got, want in ((result[0], expected[0]), (result[-1], expected[-1])):
        if list(got) != list(want) or [type(v) for v in got.values()] != [
            type(v) for v in want.values()
        ] or len(next(iter(got.values()))) != len(next(iter(want.values()))):
            return False
    return True



def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=200_000)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu")
    parser.add_argument("--json", action="store_true", help="print the figures as JSON")
    args = parser.parse_args(argv)
    n = args.records

    floor = build(os.path.join(HERE, "floor_readers.c"), "floor_readers")
    rng = random.Random(20240105)
    report = {"records": n, "rounds": args.rounds, "clock": args.clock,
              "python": sys.version.split()[0], "files": {}}
    with tempfile.TemporaryDirectory(prefix="pelmora-bench-") as tmp:
        cases = [
            ("day", write_daily, read_daily_bars, py_read_daily, 0),
            ("lc1", write_minute, read_minute_bars, py_read_minute, 1),
        ]
        for ext, write, ours, pure, kind in cases:
            path = os.path.join(tmp, "bench." + ext)
            write(path, n, rng)
            contenders = {
                "pelmora": lambda: ours(path),
                "python": lambda: pure(path),
                "floor": lambda: floor.build(n, kind, 0),
                "floor_empty_dict": lambda: floor.build(n, kind, 1),
            }
            expected = pure(path)
            got = ours(path)
            if got != expected or [list(d) for d in got[:2]] != [list(d) for d in expected[:2]]:
                raise SystemExit(f"{ext}: pelmora's result differs from the pure-Python reader's")
            for name in ("floor", "floor_empty_dict"):
                if not same_shape(contenders[name](), expected):
                    raise SystemExit(f"{ext}: {name} does not build the readers' objects")
            del got, expected

            samples = time_rounds(contenders, args.rounds, CLOCKS[args.clock])
            report["files"][ext] = {
                "ns_per_record": {
                    name: {"best": min(s) / n, "median": statistics.median(s) / n}
                    for name, s in samples.items()
                },
                "speedup_vs_python": paired_ratio(samples, "python", "pelmora"),
                "ratio_to_floor": paired_ratio(samples, "pelmora", "floor"),
                "empty_dict_floor_to_floor": paired_ratio(samples, "floor_empty_dict", "floor"),
            }

    if args.json:
        print(json.dumps(report, indent=2))
        return
    print(f"{n} records, {args.rounds} rounds, {args.clock} clock, "
          f"Python {report['python']}, GC off")
    for ext, entry in report["files"].items():
        print(f".{ext}")
        for name, f in entry["ns_per_record"].items():
            print(f"  {name:<17}{f['best']:8.1f} ns/record best {f['median']:8.1f} median")
        print(f"  pelmora: {entry['speedup_vs_python']:.2f}x faster than python, "
              f"{entry['ratio_to_floor']:.3f}x the floor "
              f"(an empty-dict floor is {entry['empty_dict_floor_to_floor']:.3f}x the floor)")


if __name__ == "__main__":
    main()
