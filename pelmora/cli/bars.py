"""`pelmora bars`: K-line bars of securities."""
from __future__ import annotations

import argparse

from ..limits import BAR_PAGE
from . import commands
from .codes import PERIODS, parse_code, parse_period
from .options import Parents, Subparsers, arg, positive


def register(sub: Subparsers, parents: Parents) -> None:
    c = sub.add_parser("bars", parents=[parents.output, parents.servers],
                       help="K-line bars of a security",
                       description=f"The most recent K-line bars, oldest first, fetched "
                                   f"{BAR_PAGE} a request.")
    c.add_argument("code", type=arg(parse_code), metavar="CODE")
    c.add_argument("--period", "-p", type=arg(parse_period), default=PERIODS["day"],
                   metavar="PERIOD", help=f"{', '.join(PERIODS)} or a category 0-11 "
                                          f"(default day)")
    c.add_argument("--count", "-n", type=positive(0xFFFF, "count"), default=100,
                   help="number of bars (default 100)")
    c.add_argument("--index", action=argparse.BooleanOptionalAction, default=None,
                   help="read index bars (with advancing/declining counts); by default for "
                        "sh000xxx, sh880xxx, sh999xxx and sz399xxx")
    c.set_defaults(run=_bars)


def _bars(args: argparse.Namespace) -> int:
    return commands.cmd_bars(args, args.format)
