"""`pelmora ticks` and `pelmora minutes`: one day of a security's trading, on `HQ`."""
from __future__ import annotations

import argparse

from ..symbols import parse_symbol
from . import output
from .options import Parents, Subparsers, arg, date, open_hq


def register(sub: Subparsers, parents: Parents) -> None:
    c = sub.add_parser("ticks", parents=[parents.output, parents.servers],
                       help="every tick of a day",
                       description="Every transaction of a day (today without --date), in "
                                   "the server's order: price, volume, buy or sell.")
    c.add_argument("code", type=arg(parse_symbol), metavar="CODE")
    c.add_argument("--date", type=date, metavar="DATE", help="a past day (default today)")
    c.set_defaults(run=run_ticks)

    c = sub.add_parser("minutes", parents=[parents.output, parents.servers],
                       help="the minute series of a day",
                       description="Price and volume of each minute of a day (today without "
                                   "--date), 09:31 to 15:00.")
    c.add_argument("code", type=arg(parse_symbol), metavar="CODE")
    c.add_argument("--date", type=date, metavar="DATE", help="a past day (default today)")
    c.set_defaults(run=run_minutes)


def run_ticks(args: argparse.Namespace) -> int:
    with open_hq(args) as hq:
        frame = hq.ticks(args.code.canonical, args.date)
    output.write(frame, args.format)
    return 0 if len(frame) else 1


def run_minutes(args: argparse.Namespace) -> int:
    with open_hq(args) as hq:
        frame = hq.minutes(args.code.canonical, args.date)
    output.write(frame, args.format)
    return 0 if len(frame) else 1
