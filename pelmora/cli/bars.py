"""`pelmora bars`: K-line bars of one or several securities, on `HQ`."""
from __future__ import annotations

import argparse

from ..limits import MAX_BARS
from ..symbols import parse_symbol
from . import output
from .options import (ADJUST_METHODS, CODE_HELP, PERIOD_HELP, CommandError, Parents, Subparsers, arg,
                      date, open_hq, period, positive)
from ..progress import Bar

DEFAULT_COUNT = 100


def register(sub: Subparsers, parents: Parents) -> None:
    c = sub.add_parser("bars", parents=[parents.output, parents.servers],
                       help="K-line bars of securities",
                       description="K-line bars, oldest first: the latest --count, or every bar "
                                   "from --start. Prints datetime, open, high, low, close, "
                                   "volume and amount (and up_count and down_count for an "
                                   "index); several codes give one long table with a symbol "
                                   "column. Exit status 1 when no bar came back. Example: "
                                   "pelmora bars 600036 --period 5m --count 240")
    c.add_argument("codes", nargs="+", type=arg(parse_symbol), metavar="CODE", help=CODE_HELP)
    c.add_argument("--period", "-p", type=period, default="day", metavar="PERIOD",
                   help=PERIOD_HELP)
    span = c.add_mutually_exclusive_group()
    span.add_argument("--count", "-n", metavar="N",
                      type=positive(MAX_BARS, "count", "the deepest the servers' pages reach"),
                      help=f"the latest N bars, at most {MAX_BARS:,} (default {DEFAULT_COUNT})")
    span.add_argument("--start", type=date, metavar="DATE", help="every bar from DATE")
    c.add_argument("--end", type=date, metavar="DATE",
                   help="no bar after DATE (a date alone means the end of that day)")
    c.add_argument("--adjust", choices=ADJUST_METHODS,
                   help="prices adjusted for ex-rights events: qfq and hfq as the TDX client "
                        "(forward to today's level, back to the listing's), or proportional "
                        "factors (-ratio)")
    c.add_argument("--as-of", type=date, metavar="DATE",
                   help="with --adjust: only the events known by DATE (for backtests)")
    c.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    if args.as_of and not args.adjust:
        raise CommandError("--as-of dates the events of --adjust: give --adjust too")
    count = args.count or (DEFAULT_COUNT if args.start is None else None)
    codes = list(dict.fromkeys(s.canonical for s in args.codes))
    # Calls of many count securities; one security's bars count their pages.
    with open_hq(args) as hq, Bar("requests" if len(codes) == 1 else "securities") as progress:
        if len(codes) == 1:
            frame = hq.bars(codes[0], args.period, count, args.start, args.end,
                            progress=progress, adjust=args.adjust, as_of=args.as_of)
        else:
            frame = hq.bars_many(codes, args.period, count, args.start, args.end,
                                 progress=progress, adjust=args.adjust, as_of=args.as_of)
    output.write(frame, args.format)
    return 0 if len(frame) else 1
