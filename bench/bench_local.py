"""Speed of read_vipdoc and read_day_frame against reading the files with numpy.

Writes the simulated market's whole daily folder (``python -m pelmora.testing --write-vipdoc``:
about 5,200 securities, listed 1990 to 2025) to a temporary directory, or with ``--synthetic N``
N files of 100 to 5,000 random daily records, or reads ``--folder`` (a vipdoc folder that
exists); writes one ``--records`` record .day file; and times in the same run, in rotation:

Folder, into one long frame with a categorical ``symbol`` column:
- pelmora: ``read_vipdoc(folder)`` (two reading threads), and on one (``pelmora_1_thread``);
- numpy_frames: each file by ``np.fromfile`` with a structured dtype, made into a DataFrame
  (the same index and columns), the frames joined by ``pd.concat``, the symbol column added;
- numpy_arrays: the stronger numpy route: the structured arrays joined first, then one frame.

One file: ``read_day_frame`` against ``np.fromfile`` plus the same DataFrame.

Minute folder: ``--minute-files`` (150 by default) Shanghai securities' ``.lc1`` files of the
simulated market, ``read_vipdoc(folder, "1m")`` against numpy_arrays' route for minute records
(the packed date and minute words made times, the single-precision prices rounded to each
security's decimals).

Wall clock (pelmora's reading threads are not the caller's), garbage collector off, the
result released outside the timed region; ns per record, the best and the median of the
rounds, and ratios as medians of the ratios within each round. Every contender's frame is
checked equal to pelmora's before it is timed. The files are in the page cache: this measures
decoding and building, not the disk.

    python bench/bench_local.py [--synthetic N] [--records N] [--minute-files N] [--rounds R]
                                [--folder PATH] [--json]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

import numpy as np
import pandas as pd

try:
    from ._rounds import paired_ratio, time_rounds
except ImportError:
    from _rounds import paired_ratio, time_rounds

from pelmora import read_day_frame, read_vipdoc
from pelmora.files import file_volunit, find_files, minute_step, price_divisor
from pelmora.instruments import type_column, type_of
from pelmora.symbols import parse_symbol
from pelmora.testing import SimulatedMarket
from pelmora.testing.vipdoc import write_vipdoc

DAY = np.dtype([("date", "<u4"), ("open", "<u4"), ("high", "<u4"), ("low", "<u4"),
                ("close", "<u4"), ("amount", "<f4"), ("volume", "<u4"), ("reserved", "<u4")])
MINUTE = np.dtype([("date", "<u2"), ("time", "<u2"), ("open", "<f4"), ("high", "<f4"),
                   ("low", "<f4"), ("close", "<f4"), ("amount", "<f4"), ("volume", "<u4"),
                   ("reserved", "<u4")])
PRICES = ("open", "high", "low", "close")


def day_records(n, rng):
    """n daily records up to 2025-06-13; past 30,000 (back to 1910) the dates repeat."""
    days = pd.bdate_range(end="2025-06-13", periods=min(n, 30_000))
    days = days[np.arange(n) % len(days)]
    r = np.zeros(n, DAY)
    r["date"] = days.year * 10000 + days.month * 100 + days.day
    close = np.maximum(100, 1000 + rng.integers(-20, 21, n).cumsum())
    r["open"] = close + rng.integers(-10, 11, n)
    r["high"] = np.maximum(r["open"], close) + rng.integers(0, 15, n)
    r["low"] = np.minimum(r["open"], close) - rng.integers(0, 15, n)
    r["close"] = close
    r["volume"] = rng.integers(10_000, 50_000_000, n)
    r["amount"] = r["volume"] * close / 100
    return r


def write_folder(root, files, rng):
    """A vipdoc folder of `files` securities, half a market each, as (records in all)."""
    total = 0
    for i in range(files):
        market, code = ("sh", f"{600000 + i // 2:06d}") if i % 2 else ("sz", f"{i // 2 + 1:06d}")
        folder = os.path.join(root, "vipdoc", market, "lday")
        os.makedirs(folder, exist_ok=True)
        rec = day_records(int(rng.integers(100, 5001)), rng)
        rec.tofile(os.path.join(folder, f"{market}{code}.day"))
        total += len(rec)
    return total


def dates_to_seconds(date):
    """YYYYMMDD numbers as datetime64[s] at midnight, without parsing text."""
    date = date.astype(np.int64)
    months = (date // 10000 - 1970) * 12 + date // 100 % 100 - 1
    days = months.astype("M8[M]").astype("M8[D]") + (date % 100 - 1).astype("m8[D]")
    return days.astype("M8[s]")


def numpy_frame(rec, divisor, lot):
    idx = pd.DatetimeIndex(dates_to_seconds(rec["date"]), name="datetime")
    cols = {c: rec[c] / divisor for c in PRICES}
    cols["volume"] = rec["volume"].astype(np.float64) * lot  # indices' files count lots, the others' units
    cols["amount"] = rec["amount"].astype(np.float64)
    return pd.DataFrame(cols, index=idx)


def with_symbols(frame, names, rows):
    codes = np.repeat(np.arange(len(names), dtype=np.int32), rows)
    frame.insert(0, "symbol", pd.Categorical.from_codes(codes, categories=names))
    # The type of each security once, repeated as codes: no string per row.
    types = type_column(type_of(s.market, s.code) for s in map(parse_symbol, names))
    frame.insert(1, "type", pd.Categorical.from_codes(np.repeat(types.codes, rows),
                                                      dtype=types.dtype))
    return frame


def numpy_frames(files):
    frames = [numpy_frame(np.fromfile(p, DAY), d, lot) for _, p, d, lot in files]
    return with_symbols(pd.concat(frames), [f[0] for f in files], [len(f) for f in frames])


def numpy_arrays(files):
    recs = [np.fromfile(p, DAY) for _, p, _, _ in files]
    rows = [len(r) for r in recs]
    divisor = np.repeat([f[2] for f in files], rows)
    lot = np.repeat([f[3] for f in files], rows)
    return with_symbols(numpy_frame(np.concatenate(recs), divisor, lot), [f[0] for f in files],
                        rows)


def minute_arrays(files):
    """The numpy route for minute files: records joined, then one frame."""
    recs = [np.fromfile(p, MINUTE) for _, p, _, _ in files]
    rows = [len(r) for r in recs]
    rec = np.concatenate(recs)
    word = rec["date"].astype(np.int64)
    date = (2004 + (word >> 11)) * 10000 + (word & 0x7FF)
    times = dates_to_seconds(date) + (rec["time"].astype(np.int64) * 60).astype("m8[s]")
    step = np.repeat([f[2] for f in files], rows)
    cols = {c: np.rint(rec[c].astype(np.float64) * step) / step for c in PRICES}
    cols["volume"] = rec["volume"].astype(np.float64) * np.repeat([f[3] for f in files], rows)
    cols["amount"] = rec["amount"].astype(np.float64)
    frame = pd.DataFrame(cols, index=pd.DatetimeIndex(times, name="datetime"))
    return with_symbols(frame, [f[0] for f in files], rows)


def minute_job(root, count, rounds):
    market = SimulatedMarket()
    codes = tuple((1, s.code) for s in market.securities(1))[:count]
    write_vipdoc(market, root, minute_codes=codes)
    found = find_files(root, "1m")
    files = [(s.canonical, found[s], minute_step(s), file_volunit(s))
             for s in sorted(found, key=lambda s: s.canonical)]
    contenders = {"pelmora": lambda: read_vipdoc(root, "1m"),
                  "numpy_arrays": lambda: minute_arrays(files)}
    ours = contenders["pelmora"]()
    n = len(ours)
    pd.testing.assert_frame_equal(contenders["numpy_arrays"](), ours, check_exact=True)
    del ours
    return {"files": len(files), "records": n,
            **figures(time_rounds(contenders, rounds), n, "pelmora")}


def figures(samples, n, ours):
    return {
        "ns_per_record": {name: {"best": min(s) / n, "median": statistics.median(s) / n}
                          for name, s in samples.items()},
        "speedup": {name: paired_ratio(samples, name, ours) for name in samples if name != ours},
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--synthetic", type=int, metavar="N",
                        help="N random files instead of the simulated market's folder")
    parser.add_argument("--records", type=int, default=200_000)
    parser.add_argument("--minute-files", type=int, default=150)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--folder", help="an existing vipdoc (or TDX installation) folder")
    parser.add_argument("--json", action="store_true", help="print the figures as JSON")
    args = parser.parse_args(argv)
    rng = np.random.default_rng(20250613)
    report = {"rounds": args.rounds, "python": sys.version.split()[0],
              "numpy": np.__version__, "pandas": pd.__version__}
    with tempfile.TemporaryDirectory(prefix="pelmora-bench-") as tmp:
        folder = args.folder or tmp
        if args.synthetic:
            write_folder(tmp, args.synthetic, rng)
        elif not args.folder:
            subprocess.run([sys.executable, "-m", "pelmora.testing", "--write-vipdoc", tmp],
                           check=True, stdout=subprocess.DEVNULL)
        found = find_files(folder, "day")
        files = [(s.canonical, found[s], price_divisor(s), file_volunit(s))
                 for s in sorted(found, key=lambda s: s.canonical)]
        contenders = {
            "pelmora": lambda: read_vipdoc(folder, progress=False),
            "pelmora_1_thread": lambda: read_vipdoc(folder, progress=False, threads=1),
            "numpy_frames": lambda: numpy_frames(files),
            "numpy_arrays": lambda: numpy_arrays(files),
        }
        ours = contenders["pelmora"]()
        n = len(ours)
        for name, call in contenders.items():
            pd.testing.assert_frame_equal(call(), ours, check_exact=True, obj=name)
        del ours
        report["folder"] = {"files": len(files), "records": n,
                            **figures(time_rounds(contenders, args.rounds), n, "pelmora")}

        path = os.path.join(tmp, "sh600036.day")
        day_records(args.records, rng).tofile(path)
        one = {
            "pelmora": lambda: read_day_frame(path),
            "numpy": lambda: numpy_frame(np.fromfile(path, DAY), 100.0, 1),
        }
        pd.testing.assert_frame_equal(one["numpy"](), one["pelmora"](), check_exact=True)
        report["file"] = {"records": args.records,
                          **figures(time_rounds(one, args.rounds * 4), args.records, "pelmora")}
        if args.minute_files:
            report["minutes"] = minute_job(os.path.join(tmp, "minutes"), args.minute_files,
                                           args.rounds)

    if args.json:
        print(json.dumps(report, indent=2))
        return
    print(f"{args.rounds} rounds, wall clock, GC off, Python {report['python']}, "
          f"numpy {report['numpy']}, pandas {report['pandas']}")
    for what in ("folder", "file", "minutes"):
        entry = report.get(what)
        if entry is None:
            continue
        head = (f"{entry['files']} files, {entry['records']} records" if what != "file"
                else f"{entry['records']} records")
        print(f"{what}: {head}")
        for name, f in entry["ns_per_record"].items():
            print(f"  {name:<18}{f['best']:8.1f} ns/record best {f['median']:8.1f} median")
        for name, r in entry["speedup"].items():
            print(f"  pelmora is {r:.2f}x faster than {name}")


if __name__ == "__main__":
    main()
