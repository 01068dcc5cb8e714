"""`pelmora verify`: the servers checked against each other, on `HQ.verify`."""
from __future__ import annotations

import argparse

from ..symbols import parse_symbol
from .options import CODE_HELP, PERIOD_HELP, Parents, Subparsers, arg, open_hq, period, positive

MAX_SAMPLE = 10_000


def register(sub: Subparsers, parents: Parents) -> None:
    c = sub.add_parser("verify", parents=[parents.servers],
                       help="check servers against each other",
                       description="Asks two servers for the latest page of bars (up to 800) of "
                                   "each security and compares them column by column; where two "
                                   "disagree a third is asked, and a server the two others "
                                   "outvote is named. Prints what disagrees, by server, "
                                   "security and date. Exit status 1 when servers disagree (or "
                                   "a security could not be compared), 0 when they agree. "
                                   "Needs two servers or more. Example: pelmora verify "
                                   "--sample 100 -s 192.0.2.10:7709 -s 192.0.2.11:7709 "
                                   "-s 192.0.2.12:7709")
    c.add_argument("codes", nargs="*", type=arg(parse_symbol), metavar="CODE",
                   help=CODE_HELP + "; without codes, --sample securities drawn at random")
    c.add_argument("--sample", "-n", default=100, metavar="N",
                   type=positive(MAX_SAMPLE, "sample", "securities drawn from both markets"),
                   help="securities drawn at random from both markets' lists (default 100)")
    c.add_argument("--period", "-p", type=period, default="day", metavar="PERIOD",
                   help=PERIOD_HELP)
    c.add_argument("--seed", type=int, metavar="N",
                   help="seed of the random draw, to check the same securities again")
    c.set_defaults(run=run_verify)


def run_verify(args: argparse.Namespace) -> int:
    symbols = [s.canonical for s in args.codes] or None
    with open_hq(args) as hq:
        report = hq.verify(symbols, sample=args.sample, period=args.period, seed=args.seed)
    print(report)
    return 0 if report.ok else 1
