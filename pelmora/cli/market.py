"""`pelmora quotes` and `pelmora list`: real-time quotes and the securities of a market."""
from __future__ import annotations

import argparse

from ..limits import LIST_PAGE, QUOTE_PAGE
from . import commands
from .codes import parse_code, parse_market
from .options import Parents, Subparsers, arg


def register(sub: Subparsers, parents: Parents) -> None:
    c = sub.add_parser("quotes", parents=[parents.output, parents.servers],
                       help="real-time quotes",
                       description="Quotes with five bid and ask levels (all fields with --csv "
                                   f"and --json), {QUOTE_PAGE} securities a request.")
    c.add_argument("codes", nargs="+", type=arg(parse_code), metavar="CODE")
    c.set_defaults(run=_quotes)

    c = sub.add_parser("list", parents=[parents.output, parents.servers],
                       help="all securities of a market",
                       description=f"Every security of a market, {LIST_PAGE} a request.")
    c.add_argument("--market", "-m", required=True, type=arg(parse_market), metavar="sh|sz")
    c.set_defaults(run=_list)


def _list(args: argparse.Namespace) -> int:
    return commands.cmd_list(args, args.format)


def _quotes(args: argparse.Namespace) -> int:
    return commands.cmd_quotes(args, args.format)
