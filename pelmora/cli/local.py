"""`pelmora day FILE` and `pelmora minute FILE`: bars of local TDX files."""
from __future__ import annotations

import argparse

from . import commands
from .options import Parents, Subparsers


def register(sub: Subparsers, parents: Parents) -> None:
    c = sub.add_parser("day", parents=[parents.output], help="bars of a local .day file")
    c.add_argument("file", metavar="FILE")
    c.add_argument("--price-coeff", type=float, default=0.01,
                   help="yuan per stored price unit (default 0.01)")
    c.add_argument("--vol-coeff", type=float, default=0.01,
                   help="factor of the stored volume (default 0.01)")
    c.set_defaults(run=_day)

    c = sub.add_parser("minute", parents=[parents.output],
                       help="bars of a local .lc1 or .lc5 file")
    c.add_argument("file", metavar="FILE")
    c.set_defaults(run=_minute)


def _day(args: argparse.Namespace) -> int:
    return commands.cmd_day(args, args.format)


def _minute(args: argparse.Namespace) -> int:
    return commands.cmd_minute(args, args.format)
