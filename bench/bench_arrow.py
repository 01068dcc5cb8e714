"""Bars into polars through Arrow against the pandas frames, client CPU.

Run after `pip install .` as `python bench/bench_arrow.py` (or with PYTHONPATH=. in a
development tree); `--json` prints one JSON object instead of the report. Not a test: figures
are printed as ratios against baselines measured in the same run.

Jobs:
  wire    200 securities x 800 daily bars from the simulated server (its own process) by
          HQ(connections=8).bars_many: output="polars" against output="pandas", and against
          pandas then pl.from_pandas (what a polars user did before), and output="pyarrow"
          (the Arrow path without polars' own conversion). The client process's CPU
          (its engine threads included; the server's is not).
  vipdoc  a whole simulated TDX data folder (pelmora.testing.vipdoc.write_vipdoc) by
          read_vipdoc, the same four ways. polars 2 converts the dictionary-encoded symbol and
          type columns into its categoricals, 2 to 4 ms a column a million rows here (polars
          1 takes them nearly as they are); pandas takes them as they are. The times are read
          in milliseconds for polars, which takes them as they are.
Each job's outputs are checked equal before the timings; contenders run in rotation
(bench/_rounds.py) with the garbage collector off.
"""
import argparse
import json
import os
import statistics
import sys
import tempfile
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import numpy as np  # noqa: E402
import polars as pl  # noqa: E402

from _rounds import paired_ratio, time_rounds  # noqa: E402
from pelmora import HQ, DataWarning, read_vipdoc  # noqa: E402
from pelmora.testing import SimulatedMarket, SimulatedServer  # noqa: E402
from pelmora.testing.vipdoc import write_vipdoc  # noqa: E402

SECURITIES, BARS = 200, 800
CLOCKS = {"cpu": time.process_time_ns, "wall": time.perf_counter_ns}


def check_same(polars, pandas, job):
    """The polars frame against the pandas one: rows, symbols and every value column."""
    if polars.height != len(pandas) or \
            polars["symbol"].to_list() != pandas["symbol"].astype(str).tolist():
        raise SystemExit(f"{job}: the polars frame's rows differ from the pandas frame's")
    for name in pandas.columns[2:]:
        if not np.array_equal(polars[name].to_numpy(), pandas[name].to_numpy(), equal_nan=True):
            raise SystemExit(f"{job}: column {name} differs")
    times = polars["datetime"].cast(pl.Int64).to_numpy() * 1_000_000
    if not np.array_equal(times, pandas.index.values.astype("M8[ns]").astype(np.int64)):
        raise SystemExit(f"{job}: datetime differs")


def contenders(read):
    """The three ways of `read(output)` into a frame."""
    return {
        "polars": lambda: read("polars"),
        "pyarrow": lambda: read("pyarrow"),
        "pandas": lambda: read("pandas"),
        "pandas_to_polars": lambda: pl.from_pandas(read("pandas").reset_index()),
    }


def figures(samples, rows):
    return {
        "ms": {name: {"best": min(s) / 1e6, "median": statistics.median(s) / 1e6}
               for name, s in samples.items()},
        "rows": rows,
        "polars_to_pandas": paired_ratio(samples, "polars", "pandas"),
        "polars_to_pandas_to_polars": paired_ratio(samples, "polars", "pandas_to_polars"),
        "pyarrow_to_pandas": paired_ratio(samples, "pyarrow", "pandas"),
    }


def wire_job(rounds, clock):
    with SimulatedServer(fill=SECURITIES + 100) as server, \
            HQ([server.address], connections=8) as hq:
        listed = hq.securities("sh")
        codes = listed.index[listed["type"] == "stock"][:SECURITIES].tolist()

        def read(output):
            return hq.bars_many(codes, count=BARS, output=output)
        check_same(read("polars"), read("pandas"), "wire")
        rows = len(read("pandas"))
        return figures(time_rounds(contenders(read), rounds, clock), rows)


def vipdoc_job(rounds, clock, fill):
    with tempfile.TemporaryDirectory(prefix="pelmora-bench-") as folder:
        files = write_vipdoc(SimulatedMarket(fill=fill), folder, minute_codes=())

        def read(output):
            return read_vipdoc(folder, output=output)
        check_same(read("polars"), read("pandas"), "vipdoc")
        rows = len(read("pandas"))
        out = figures(time_rounds(contenders(read), rounds, clock), rows)
        out["files"] = files
        return out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--fill", type=int, default=100,
                        help="the simulated market's fill, which sets the vipdoc folder's size")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu")
    parser.add_argument("--json", action="store_true", help="print the figures as JSON")
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore", DataWarning)
    clock = CLOCKS[args.clock]
    report = {"rounds": args.rounds, "clock": args.clock, "python": sys.version.split()[0],
              "polars": pl.__version__,
              "wire": wire_job(args.rounds, clock),
              "vipdoc": vipdoc_job(args.rounds, clock, args.fill)}
    if args.json:
        print(json.dumps(report, indent=2))
        return
    print(f"{args.rounds} rounds, {args.clock} clock (ms), Python {report['python']}, "
          f"polars {report['polars']}, GC off")
    for job in ("wire", "vipdoc"):
        entry = report[job]
        print(f"{job}: {entry['rows']:,} rows")
        for name, f in entry["ms"].items():
            print(f"  {name:18} best {f['best']:8.1f}  median {f['median']:8.1f}")
        print(f"  polars / pandas            {entry['polars_to_pandas']:.2f}x")
        print(f"  polars / pandas->polars    {entry['polars_to_pandas_to_polars']:.2f}x")
        print(f"  pyarrow / pandas           {entry['pyarrow_to_pandas']:.2f}x")


if __name__ == "__main__":
    main()
