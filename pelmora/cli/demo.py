"""`pelmora demo`: the tool at work against the simulated HQ server, with no network."""
from __future__ import annotations

import argparse
import contextlib
import io

from .options import Parents, Subparsers

LIST_ROWS = 8
# A small market starts at once; the full-size one is for benchmarks (--securities).
DEMO_FILL = 200


def _run(argv: list[str], keep: int | None = None) -> int:
    """Print `pelmora ARGV` and its output (only the first `keep` lines); returns the status."""
    from . import main
    print("$ pelmora " + " ".join(argv))
    captured = io.StringIO()
    with contextlib.redirect_stdout(captured):
        status = main(argv)
    lines = captured.getvalue().splitlines()
    for line in lines[:keep]:
        print(line)
    if keep is not None and len(lines) > keep:
        print(f"... ({len(lines) - 1} rows in all)")
    print()
    return status


def register(sub: Subparsers, parents: Parents) -> None:
    c = sub.add_parser("demo", help="a session against a simulated server, no network needed",
                       description="Start the simulated HQ server of pelmora.testing on "
                                   "loopback, run a few commands against it, printing each with "
                                   "its output, and stop it: no network needed. Example: "
                                   "pelmora demo")
    c.set_defaults(run=run)


def run(args: argparse.Namespace | None = None) -> int:
    from ..testing import SimulatedServer
    print("Starting a simulated HQ server on loopback "
          f"(python -m pelmora.testing --port 0 --fill {DEMO_FILL}) ...")
    with SimulatedServer(fill=DEMO_FILL) as server:
        addr = server.address
        print(f"listening on {addr}\n")
        steps = [
            (["ping", addr, "--check"], None),
            (["list", "--market", "sh", "--server", addr], LIST_ROWS + 1),
            (["bars", "600036", "--count", "5", "--server", addr], None),
            (["bars", "sh000001", "--period", "60m", "--count", "4", "--server", addr], None),
            (["bars", "600036", "sz000001", "--count", "2", "--server", addr], None),
            (["quotes", "600036", "600519", "sz000001", "sz300750", "sh000001", "--server",
              addr], None),
            (["ticks", "600036", "--server", addr], 4),
            (["xdxr", "600036", "--server", addr], 4),
        ]
        for argv, keep in steps:
            status = _run(argv, keep)
            if status:
                return status
    print("Stopped the simulated server. The same commands work against a real HQ server;")
    print("`pelmora ping --check HOST:PORT ...` tells which servers answer with data.")
    return 0
