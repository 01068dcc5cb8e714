"""A whole-market quote sweep: pelmora.HQ.quotes with 1, 4 and 8 connections against one
pelmora TdxClient asking 80 securities a request, one request after another.

Run after `pip install .` as `python bench/bench_quotes.py` (or with PYTHONPATH=. in a
development tree); `--json` prints one JSON object instead of the report. Not a test: the
figures are times and ratios against the TdxClient measured in the same run, and every
client's frame is checked equal to the TdxClient's first.

The market is the default one of pelmora.testing (5,200 securities, both markets). Its quote
answers are computed once in this process and served by bench/replay_server.py, which holds
each answer `--latency` ms (default 20) at almost no CPU of its own: the simulated server
spends milliseconds of CPU on each security of a quote answer, so on a small machine it, not
the client, would bound the sweep (`--sim` times against it instead, to see that).
"""
import argparse
import json
import os
import pickle
import struct
import sys
import tempfile
import time

import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bench_hq import ReplayServer, bars_request, count_request, list_request  # noqa: E402

from pelmora import HQ, TdxClient  # noqa: E402

PAGE = 80


def quotes_request(items):
    size = 7 * len(items) + 12
    out = bytearray(bytes.fromhex("0c0120630002") + struct.pack("<HH", size, size))
    out += bytes.fromhex("3e050500") + bytes(6) + struct.pack("<H", len(items))
    for market, code in items:
        out += bytes((market,)) + code.encode().ljust(6, b"\0")
    return bytes(out)


def build_answers():
    """({request: response}, [(market, code)] of every security) of the simulated market."""
    from pelmora.testing import SimulatedMarket
    from pelmora.testing.protocol import Responder
    market = SimulatedMarket()
    responder = Responder(market)
    answers, codes = {}, []
    for m in (0, 1):
        codes += [(m, sec.code) for sec in market.securities(m)]
    verify = bars_request(9, 1, "000001", 0, 1)
    answers[verify] = responder.respond(verify)
    for m in (0, 1):  # the lists, whose lot sizes and decimals HQ's quotes are scaled by
        answers[count_request(m)] = responder.respond(count_request(m))
        for start in range(0, len(market.securities(m)), 1000):
            answers[list_request(m, start)] = responder.respond(list_request(m, start))
    for i in range(0, len(codes), PAGE):
        request = quotes_request(codes[i:i + PAGE])
        answers[request] = responder.respond(request)
    return answers, codes


def core_sweep(client, codes):
    rows = []
    for i in range(0, len(codes), PAGE):
        rows += client.get_security_quotes(codes[i:i + PAGE])
    frame = pd.DataFrame(rows)
    names = [("sh" if m else "sz") + c for m, c in zip(frame.pop("market"), frame.pop("code"))]
    frame.index = pd.Index(names, name="symbol")
    return frame


def best_of(runs, job):
    times, result = [], None
    for _ in range(runs):
        t0 = time.perf_counter()
        result = job()
        times.append(time.perf_counter() - t0)
    return min(times), result


def check(got, want, decimals):
    """HQ's quotes (the servers' lots, with lots=True) are TdxClient's, prices at each
    security's `decimals` (the client divides them all by 100), servertime dated: its time of
    day is the packed HHMMSSxx without the hundredths."""
    import numpy as np
    from pelmora.hq.quotes import PRICES
    points = 10.0 ** want.index.map(decimals).to_numpy(dtype=float)
    want = want.assign(**{c: np.round(want[c] * 100) / points for c in PRICES})
    clock = got["servertime"]
    seconds = (clock - clock.dt.normalize()).dt.total_seconds().astype("int64")
    hhmmss = seconds // 3600 * 10000 + seconds // 60 % 60 * 100 + seconds % 60
    assert (hhmmss.to_numpy() == want.loc[got.index, "servertime"].to_numpy() // 100).all()
    columns = [c for c in got.columns if c != "servertime"]
    pd.testing.assert_frame_equal(got[columns], want[columns], check_dtype=False)


def measure(host, port, codes, runs):
    out = {}
    client = TdxClient()
    client.connect(host, port)
    out["core_s"], want = best_of(runs, lambda: core_sweep(client, codes))
    decimals = {("sh" if m else "sz") + r["code"]: r["decimal_point"] for m in (0, 1)
                for start in range(0, client.get_security_count(m), 1000)
                for r in client.get_security_list(m, start)}
    client.disconnect()
    names = [("sh" if m else "sz") + c for m, c in codes]
    for n in (1, 4, 8):
        with HQ([f"{host}:{port}"], connections=n, lots=True) as hq:
            t, got = best_of(runs, lambda: hq.quotes(names))
        check(got, want, decimals)
        out[f"hq{n}_s"] = t
        out[f"hq{n}_speedup"] = out["core_s"] / t
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--latency", type=float, default=20.0, help="ms each answer is held")
    p.add_argument("--runs", type=int, default=3, help="runs of each client; the best counts")
    p.add_argument("--sim", action="store_true",
                   help="time against the simulated server (2 processes) instead")
    p.add_argument("--json", action="store_true", help="print one JSON object")
    args = p.parse_args()
    if args.sim:
        from pelmora.testing import serve
        client = TdxClient()
        with serve(latency=args.latency, workers=2) as (host, port):
            client.connect(host, port)
            codes = [(m, r["code"]) for m in (0, 1)
                     for s in range(0, client.get_security_count(m), 1000)
                     for r in client.get_security_list(m, s)]
            client.disconnect()
            out = measure(host, port, codes, args.runs)
        server = "the simulated server, 2 processes"
    else:
        answers, codes = build_answers()
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "answers.pickle")
            with open(path, "wb") as f:
                pickle.dump(answers, f)
            replay = ReplayServer(path, args.latency)
            try:
                out = measure("127.0.0.1", replay.port, codes, args.runs)
            finally:
                replay.stop()
        server = "a replaying server"
    out.update(latency_ms=args.latency, securities=len(codes), requests=-(-len(codes) // PAGE))
    if args.json:
        print(json.dumps(out))
        return
    print(f"whole-market quote sweep: {len(codes)} securities, {out['requests']} requests of "
          f"{PAGE}, answers held {args.latency:g} ms by {server}, best of {args.runs}")
    print(f"  {'TdxClient, one request after another':<40} {out['core_s'] * 1000:8.0f} ms  "
          f"1.00x")
    for n in (1, 4, 8):
        print(f"  {f'HQ(connections={n}).quotes(codes)':<40} {out[f'hq{n}_s'] * 1000:8.0f} ms "
              f"{out[f'hq{n}_speedup']:5.2f}x")


if __name__ == "__main__":
    main()
