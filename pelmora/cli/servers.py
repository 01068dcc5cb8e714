"""`pelmora ping`: which servers answer, and how fast."""
from __future__ import annotations

import argparse

from . import commands
from .options import Parents, Subparsers, arg
from ..servers import parse_address


def register(sub: Subparsers, parents: Parents) -> None:
    c = sub.add_parser("ping", parents=[parents.output], help="server latencies, fastest first",
                       description="Time a TCP connect to each server, all at once; fastest "
                                   "first. With --check also ask each reachable server for a "
                                   "daily bar of the Shanghai index and a quote.")
    c.add_argument("servers", nargs="*", type=arg(parse_address), metavar="HOST:PORT")
    c.add_argument("--file", "-f", action="append", metavar="FILE",
                   help="read addresses from FILE, one a line (# starts a comment)")
    c.add_argument("--check", action="store_true",
                   help="ask reachable servers for data: status data, partial, empty or why not")
    c.set_defaults(run=_ping)


def _ping(args: argparse.Namespace) -> int:
    return commands.cmd_ping(args, args.format)
