"""`pelmora quotes` and `pelmora list`: real-time quotes and the securities of a market, on
`HQ`."""
from __future__ import annotations

import argparse

from ..limits import QUOTE_PAGE
from ..symbols import parse_symbol
from . import output
from .options import CODE_HELP, Parents, Subparsers, arg, market, open_hq
from ..progress import Bar

QUOTE_TABLE_COLUMNS = ["price", "change%", "open", "high", "low", "last_close", "vol", "amount",
                       "bid1", "ask1"]


def register(sub: Subparsers, parents: Parents) -> None:
    c = sub.add_parser("quotes", parents=[parents.output, parents.servers],
                       help="real-time quotes",
                       description=f"Real-time quotes, {QUOTE_PAGE} securities a request, all "
                                   f"sent at once. The table shows price, change%, open, high, "
                                   f"low, last_close, vol, amount, bid1 and ask1; --csv and "
                                   f"--json print every field, five bid and ask levels among "
                                   f"them. Example: pelmora quotes 600036 000001")
    c.add_argument("codes", nargs="+", type=arg(parse_symbol), metavar="CODE", help=CODE_HELP)
    c.set_defaults(run=run_quotes)

    c = sub.add_parser("list", parents=[parents.output, parents.servers],
                       help="all securities of a market",
                       description="Every security of a market, a row each: symbol (the "
                                   "market and code, as other commands take it), code, name, "
                                   "type (stock, index, fund, bond, b_share or other), volunit "
                                   "(the lot size) and decimal_point (the price's decimals); "
                                   "the previous close is the quotes' last_close. Example: "
                                   "pelmora list --market sh")
    c.add_argument("--market", "-m", required=True, type=market, metavar="sh|sz",
                   help="the market: sh (Shanghai) or sz (Shenzhen)")
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
    # The symbol first: a bare code may name two securities (sh000001, the Shanghai index, and
    # sz000001, a Shenzhen stock), and rows are fed back to other commands.
    output.write(frame, args.format)
    return 0
