"""`pelmora day FILE` and `pelmora minute FILE`: bars of local TDX files, adjusted on request
by the events of an HQ server."""
from __future__ import annotations

import argparse
import os
import stat
from typing import TYPE_CHECKING

from ..limits import MAX_PRICE_DECIMALS
from ..servers import parse_address
from . import output
from .options import ADJUST_METHODS, CommandError, Parents, Subparsers, arg, date, open_hq

if TYPE_CHECKING:
    import pandas as pd


def register(sub: Subparsers, parents: Parents) -> None:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("file", metavar="FILE", help="the file, named as TDX names it "
                        "(sh600036.day) for its price scale and for --adjust")
    common.add_argument("--start", type=date, metavar="DATE", help="no bar before DATE")
    common.add_argument("--end", type=date, metavar="DATE", help="no bar after DATE")
    common.add_argument("--adjust", choices=ADJUST_METHODS,
                        help="adjusted prices, by the ex-rights events of the security the "
                             "file is named after (sh600036.day)")
    common.add_argument("--events-from", dest="server", action="append",
                        type=arg(parse_address), metavar="HOST:PORT",
                        help="with --adjust: the HQ server to ask for the events "
                             "(repeatable); by default the configured ones")
    common.set_defaults(connections=1)

    c = sub.add_parser("day", parents=[parents.output, common], help="bars of a local .day file",
                       description="The daily bars of a TDX .day file (vipdoc/sh/lday/...), "
                                   "oldest first: datetime, open, high, low, close, volume and "
                                   "amount. --adjust adjusts them by the ex-rights events an "
                                   "HQ server gives for the security the file is named after. "
                                   "Example: pelmora day sh600036.day --start 2024-01-01")
    c.add_argument("--price-decimals", type=int, choices=range(MAX_PRICE_DECIMALS + 1), metavar="N",
                   help=f"decimals of the stored prices, 0 to {MAX_PRICE_DECIMALS} "
                        f"(default: those of the security the file is named after: 3 "
                        f"for funds and bonds, 2 for stocks and indices)")
    c.set_defaults(run=run_day)

    c = sub.add_parser("minute", parents=[parents.output, common],
                       help="bars of a local .lc1 or .lc5 file",
                       description="The 1-minute or 5-minute bars of a TDX .lc1 or .lc5 file "
                                   "(vipdoc/sh/minline/..., vipdoc/sh/fzline/...), oldest "
                                   "first, each at the minute it ends: datetime, open, high, "
                                   "low, close, volume and amount; --adjust as for day. "
                                   "Example: pelmora minute sh600036.lc5 --start 2025-06-02")
    c.set_defaults(run=run_minute)


def _regular_file(path: str) -> str:
    """The path, once it is known to name a regular file: the readers' own message for a
    directory or FIFO names no file."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return path  # missing or unreadable: the reader's own message names the path
    if not stat.S_ISREG(mode):
        raise CommandError(f"{path}: not a regular file")
    return path


def _bounds(args: argparse.Namespace) -> dict[str, str | None]:
    """The window the file is read in: all of it when adjusting, which is cut afterwards (an
    adjusted price does not depend on the window)."""
    if args.adjust is None:
        return {"start": args.start, "end": args.end}
    return {"start": None, "end": None}


def _adjusted(frame: pd.DataFrame, args: argparse.Namespace) -> pd.DataFrame:
    """The bars adjusted as --adjust asks, by the events of the file's security, then cut to
    --start and --end."""
    if args.adjust is None:
        if args.server:
            raise CommandError("--events-from gives the events of --adjust: give --adjust too")
        return frame
    from ..adjust import adjust
    from ..files import between, symbol_of_file
    symbol = symbol_of_file(args.file)
    if symbol is None:
        raise CommandError(f"{args.file}: --adjust needs the security in the file's name, "
                           f"such as sh600036.day")
    with open_hq(args, "--events-from") as hq:
        events = hq.xdxr(symbol)
    return between(adjust(frame, events, args.adjust), args.start, args.end)


def run_day(args: argparse.Namespace) -> int:
    from ..files import read_day_frame
    path = _regular_file(args.file)
    frame = read_day_frame(path, **_bounds(args), price_decimals=args.price_decimals)
    output.write(_adjusted(frame, args), args.format)
    return 0


def run_minute(args: argparse.Namespace) -> int:
    from ..files import read_minute_frame
    path = _regular_file(args.file)
    frame = read_minute_frame(path, **_bounds(args))
    output.write(_adjusted(frame, args), args.format)
    return 0
