"""Speed of adjust() over a whole market's long frame against a per-security loop and the floor.

Builds a long frame of S securities x B daily bars (a categorical ``symbol`` column, as
``bars_many`` returns) with three ex-rights events a security, and times, in the same run and in
rotation:

- adjust: ``pelmora.adjust.adjust(long, events, "qfq")``, all securities at once;
- per-security: the same function called once per security on its own bars and events, and the
  pieces concatenated (what a caller without the long-frame path would write);
- floor: a new frame whose four price columns are multiplied by a per-bar factor and offset
  already known, the least any adjustment has to do.

Timings are of the call alone with the garbage collector off, in ns per bar: best and median of
the rounds; ratios are medians of the per-round ratios. Each contender's result is checked
against adjust's before it is timed.

    python bench/bench_adjust.py [--securities S] [--bars B] [--rounds R] [--json]
"""

import argparse
import gc
import json
import statistics
import time

import numpy as np
import pandas as pd

from pelmora.adjust import adjust
from pelmora.events import xdxr_frame

PRICES = ["open", "high", "low", "close"]


def market(securities, bars, seed=1):
    rng = np.random.default_rng(seed)
    days = pd.bdate_range("2021-01-04", periods=bars) + pd.Timedelta(hours=15)
    symbols = [f"sh{600000 + i}" for i in range(securities)]
    close = rng.uniform(5, 50, securities * bars)
    long = pd.DataFrame({"open": close, "high": close * 1.01, "low": close * 0.99,
                         "close": close, "volume": 1e5, "amount": close * 1e5},
                        index=pd.DatetimeIndex(np.tile(days, securities), name="datetime"))
    long["symbol"] = pd.Categorical(np.repeat(symbols, bars))
    years = sorted({d.year for d in days})[1:] or [days[0].year]
    records = [dict(year=y, month=6, day=20, category=1, name="除权除息",
                    fenhong=float(rng.uniform(0, 5)), peigujia=0.0,
                    songzhuangu=float(rng.choice([0.0, 3.0])), peigu=0.0)
               for _ in symbols for y in years]
    events = xdxr_frame(records)
    events["symbol"] = np.repeat(symbols, len(years))
    return long, events


def per_security(long, events):
    by_symbol = dict(iter(events.groupby("symbol")))
    parts = [adjust(bars, by_symbol[str(sym)].drop(columns="symbol"), "qfq")
             for sym, bars in long.groupby("symbol", observed=True, sort=False)]
    return pd.concat(parts)


def floor(long, mul, off):
    out = long.copy(deep=False)
    for col in PRICES:
        out[col] = out[col].to_numpy() * mul + off
    return out


def timed(fn):
    gc.collect()
    gc.disable()
    try:
        t = time.perf_counter_ns()
        result = fn()
        return time.perf_counter_ns() - t, result
    finally:
        gc.enable()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--securities", type=int, default=2000)
    parser.add_argument("--bars", type=int, default=800)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()

    long, events = market(args.securities, args.bars)
    expected = adjust(long, events, "qfq")
    raw, adj = long["close"].to_numpy(), expected["close"].to_numpy()
    # The per-bar map recovered from two price columns of the result: close and high differ.
    hi = long["high"].to_numpy()
    mul = (expected["high"].to_numpy() - adj) / (hi - raw)
    off = adj - mul * raw
    contenders = {
        "adjust": lambda: adjust(long, events, "qfq"),
        "per-security": lambda: per_security(long, events),
        "floor": lambda: floor(long, mul, off),
    }
    for name, fn in contenders.items():
        got = fn()  # securities are contiguous in `long`, so every result keeps its row order
        np.testing.assert_allclose(got[PRICES].to_numpy(), expected[PRICES].to_numpy(),
                                   rtol=1e-9, err_msg=name)
    times = {name: [] for name in contenders}
    for _ in range(args.rounds):
        for name, fn in contenders.items():
            times[name].append(timed(fn)[0])
    n = len(long)
    report = {name: {"best_ns_per_bar": min(t) / n, "median_ns_per_bar": statistics.median(t) / n}
              for name, t in times.items()}
    for base in ("per-security", "floor"):
        report["adjust"][f"ratio_to_{base}"] = statistics.median(
            a / b for a, b in zip(times["adjust"], times[base]))
    if args.json:
        print(json.dumps({"securities": args.securities, "bars": args.bars, **report}))
        return
    print(f"{args.securities} securities x {args.bars} daily bars ({n:,} bars), "
          f"{args.rounds} rounds")
    for name, r in report.items():
        print(f"  {name:13s} best {r['best_ns_per_bar']:8.1f} ns/bar   "
              f"median {r['median_ns_per_bar']:8.1f} ns/bar")
    for base in ("per-security", "floor"):
        print(f"  adjust / {base}: {report['adjust'][f'ratio_to_{base}']:.2f}")


if __name__ == "__main__":
    main()
