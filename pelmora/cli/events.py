"""`pelmora xdxr` and `pelmora finance`: ex-rights events and finance summaries, on `HQ`."""
from __future__ import annotations

import argparse
import sys

from ..symbols import parse_symbol
from . import output
from .options import CODE_HELP, Parents, Subparsers, arg, open_hq


def register(sub: Subparsers, parents: Parents) -> None:
    c = sub.add_parser("xdxr", parents=[parents.output, parents.servers],
                       help="ex-rights and ex-dividend events",
                       description="The ex-rights events of securities, oldest first: date, "
                                   "category, name and the values: cash (fenhong), bonus "
                                   "shares (songzhuangu) and rights (peigu at peigujia), splits "
                                   "(suogu), share capital changes (units: docs/units.md). "
                                   "Several codes give one table with a symbol column. "
                                   "Example: pelmora xdxr 600036")
    c.add_argument("codes", nargs="+", type=arg(parse_symbol), metavar="CODE", help=CODE_HELP)
    c.set_defaults(run=run_xdxr)

    c = sub.add_parser("finance", parents=[parents.output, parents.servers],
                       help="finance summaries",
                       description="The finance summary of securities, a row each, as the "
                                   "server reports it: share capital, assets, liabilities, "
                                   "income and profit figures, with the province, industry, "
                                   "listing and report dates. Securities without one are named "
                                   "on standard error. Example: pelmora finance 600036 000001")
    c.add_argument("codes", nargs="+", type=arg(parse_symbol), metavar="CODE", help=CODE_HELP)
    c.set_defaults(run=run_finance)


def run_xdxr(args: argparse.Namespace) -> int:
    import pandas as pd
    codes = list(dict.fromkeys(s.canonical for s in args.codes))
    with open_hq(args) as hq:
        if len(codes) == 1:
            frame = hq.xdxr(codes[0])
        else:
            per = hq.xdxr_many(codes)
            frame = pd.concat([f.assign(symbol=name).set_index("symbol", append=True)
                               .reorder_levels(["symbol", "date"]) for name, f in per.items()])
    output.write(frame, args.format)
    return 0


def run_finance(args: argparse.Namespace) -> int:
    import pandas as pd
    codes = list(dict.fromkeys(s.canonical for s in args.codes))
    with open_hq(args) as hq:
        found: list[pd.DataFrame] = [hq.finance(code) for code in codes]
    frame = pd.concat(found)
    missing = [c for c, f in zip(codes, found) if not len(f)]
    if missing:
        print(f"warning: no finance summary for {', '.join(missing)}", file=sys.stderr)
    output.write(frame, args.format)
    return 0 if len(frame) else 1
