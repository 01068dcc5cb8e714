"""Speed of the command line's table writer against the ways it could be written.

A frame of 65,535 rows (``--rows``), the shape of a bars table with a column of CJK names, is
written to memory as an aligned table by:

- pelmora: ``pelmora.cli.output.write_table`` (a column at a time, wcwidth for wide characters);
- hand_written: the row-at-a-time writer the command line used before (over dicts, each cell's
  width counted by ``unicodedata``), kept here as the baseline;
- pandas: ``DataFrame.to_string`` with ``display.unicode.east_asian_width`` on (the setting that
  aligns CJK text);
- rich: a ``rich.table.Table`` without borders, on a sixteenth of the rows (the whole table takes
  minutes), its time scaled by 16 (rich's cost grows with the cells).

Also CSV and JSON lines (``to_csv`` / ``to_json`` through the same output module). Garbage
collector off; the best of ``--rounds`` rounds; ratios against the hand-written writer of the
same run. Each table is checked: the same cells as pelmora's, every line of pelmora's the same
terminal width.

    python bench/bench_cli.py [--rows N] [--rounds R] [--json]
"""
import argparse
import contextlib
import gc
import io
import json
import time
import unicodedata

import numpy as np
import pandas as pd

from pelmora.cli import output

NAMES = ["浦发银行", "招商银行", "上证指数", "沪深300", "ST ABC"]


def frame(rows):
    rng = np.random.default_rng(1)
    close = np.round(10 + rng.random(rows) * 90, 2)
    return pd.DataFrame({
        "name": [NAMES[i % len(NAMES)] for i in range(rows)],
        "open": np.round(close * 0.99, 2), "high": np.round(close * 1.02, 2),
        "low": np.round(close * 0.97, 2), "close": close,
        "volume": rng.integers(0, 10**7, rows).astype(float),
        "amount": np.round(close * 1e6, 0)},
        index=pd.date_range("2000-01-03 09:31", periods=rows, freq="min", name="datetime"))


def hand_written(df, stream):
    """The writer this replaced: rows of dicts, cells and widths a cell at a time."""
    rows = df.reset_index().assign(
        datetime=lambda d: d["datetime"].dt.strftime("%Y-%m-%d %H:%M")).to_dict("records")
    columns = list(rows[0])

    def width(text):
        return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)

    cells, right = {}, {}
    for key in columns:
        values = [r[key] for r in rows]
        floats = [v for v in values if isinstance(v, float)]
        places = 0
        for v in floats:
            while places < 3 and round(v, places) != v:
                places += 1
        places = 2 if places == 1 else places
        cells[key] = [f"{v:.{places}f}" if isinstance(v, float) else str(v) for v in values]
        right[key] = bool(floats)
    widths = {k: max([width(k)] + [width(c) for c in cells[k]]) for k in columns}

    def line(texts):
        parts = []
        for key, text in zip(columns, texts):
            pad = " " * (widths[key] - width(text))
            parts.append(pad + text if right[key] else text + pad)
        return "  ".join(parts).rstrip()

    stream.write(line(columns) + "\n")
    for i in range(len(rows)):
        stream.write(line([cells[k][i] for k in columns]) + "\n")


def pandas_string(df, stream):
    with pd.option_context("display.unicode.east_asian_width", True):
        stream.write(df.to_string() + "\n")


def rich_table(df, stream):
    from rich.console import Console
    from rich.table import Table
    table = Table(box=None, pad_edge=False, show_edge=False)
    flat = df.reset_index()
    texts = [[output.MISSING if t is None else t for t in output.cells(flat[c]).texts]
             for c in flat.columns]
    for name in flat.columns:
        table.add_column(str(name), no_wrap=True,
                         justify="left" if name in ("datetime", "name") else "right")
    for row in zip(*texts):
        table.add_row(*row)
    Console(file=stream, width=400, color_system=None, highlight=False).print(table)


def best(fn, df, rounds):
    times = []
    for _ in range(rounds):
        stream = io.StringIO()
        gc.disable()
        try:
            start = time.perf_counter()
            fn(df, stream)
            times.append(time.perf_counter() - start)
        finally:
            gc.enable()
    return min(times), stream.getvalue()


def cells(text):
    return [line.split() for line in text.splitlines()]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=65535)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--json", action="store_true", help="print the figures as JSON")
    args = parser.parse_args(argv)
    df = frame(args.rows)
    part = df.iloc[:max(1, args.rows // 16)]

    report = {}
    report["pelmora"], ours = best(output.write_table, df, args.rounds)
    widths = {output.display_width(line) for line in ours.splitlines()}
    assert len(widths) == 1, f"pelmora's lines differ in width: {sorted(widths)}"
    report["hand_written"], theirs = best(hand_written, df, args.rounds)
    assert cells(theirs) == cells(ours), "hand-written table differs"
    report["pandas"], theirs = best(pandas_string, df, 1)
    assert [c[2] for c in cells(theirs)[2:]] == [c[2] for c in cells(ours)[1:]], "pandas differs"
    with contextlib.suppress(ImportError):
        seconds, theirs = best(rich_table, part, 1)
        assert cells(theirs) == cells(ours)[:len(part) + 1], "rich table differs"
        report["rich"] = seconds * args.rows / len(part)
    for fmt in ("csv", "json"):
        report[fmt], _ = best(lambda f, s, fmt=fmt: output.write(f, fmt, s), df, args.rounds)

    base = report["hand_written"]
    if args.json:
        print(json.dumps({"rows": args.rows, "seconds": report,
                          "ratio_to_hand_written": {k: v / base for k, v in report.items()}},
                         indent=2))
        return
    print(f"{args.rows:,} rows, best of {args.rounds} (rich and pandas: one round)")
    for name, seconds in report.items():
        print(f"  {name:13s} {seconds:8.3f} s   {seconds / base:7.2f} x hand_written")


if __name__ == "__main__":
    main()
