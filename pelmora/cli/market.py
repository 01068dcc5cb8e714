"""`pelmora quotes` and `pelmora list`: real-time quotes and the securities of a market, on
`HQ`."""
from __future__ import annotations

import argparse

from ..limits import QUOTE_PAGE
from ..symbols import parse_symbol
from . import output
from .options import Parents, Subparsers, arg, market, open_hq
from .progress import Bar

QUOTE_TABLE_COLUMNS = ["price", "change%", "open", "high", "low", "last_close", "vol", "amount",
                       "bid1", "ask1"]


def register(sub: Subparsers, parents: Parents) -> None:
    c = sub.add_parser("quotes", parents=[parents.output, parents.servers],
                       help="real-time quotes",
                       description="Quotes with five bid and ask levels (all fields with --csv "
                                   f"and --json), {QUOTE_PAGE} securities a request, all at "
                                   f"once.")
    c.add_argument("codes", nargs="+", type=arg(parse_symbol), metavar="CODE")
    c.set_defaults(run=run_quotes)

    c = sub.add_parser("list", parents=[parents.output, parents.servers],
                       help="all securities of a market",
                       description="Every security of a market: code, name, lot size, price "
                                   "decimals and previous close.")
    c.add_argument("--market", "-m", required=True, type=market, metavar="sh|sz")
    c.set_defaults(run=run_list)


def run_quotes(args: argparse.Namespace) -> int:
    with open_hq(args) as hq, Bar("securities") as progress:
        frame = hq.quotes([s.canonical for s in args.codes], progress=progress)
    if args.format == "table":
        change = (frame["price"] / frame["last_close"] - 1) * 100
        frame = frame.assign(**{"change%": change.where(frame["last_close"] != 0).round(2)})
        frame = frame[QUOTE_TABLE_COLUMNS]
    output.write(frame, args.format)
    return 0 if len(frame) else 1


def run_list(args: argparse.Namespace) -> int:
    with open_hq(args) as hq:
        frame = hq.securities(args.market)
    output.write(frame.set_index("code"), args.format)
    return 0
