"""`pelmora ticks` and `pelmora minutes`: one day of a security's trading, on `HQ`."""
from __future__ import annotations

import argparse
import datetime as dt
import sys
from typing import Any, Callable

from ..symbols import parse_symbol
from . import output
from .options import Parents, Subparsers, arg, date, open_hq

# (command and the HQ method it runs, help, description)
_COMMANDS = (
    ("ticks", "every tick of a day",
     "Every transaction of a day (today without --date), in the server's order: price, "
     "volume, buy or sell."),
    ("minutes", "the minute series of a day",
     "Price and volume of each minute of a day (today without --date), 09:31 to 15:00."),
)


def register(sub: Subparsers, parents: Parents) -> None:
    for name, help_text, description in _COMMANDS:
        c = sub.add_parser(name, parents=[parents.output, parents.servers], help=help_text,
                           description=description)
        c.add_argument("code", type=arg(parse_symbol), metavar="CODE")
        c.add_argument("--date", type=date, metavar="DATE", help="a past day (default today)")
        c.set_defaults(run=_runner(name))


def _no_trading(what: str, symbol: str, day: dt.date) -> str:
    """The line that says a day has nothing: a weekend is named as such; a weekday may be a
    holiday, or one the security did not trade."""
    if day.weekday() >= 5:
        why = f"a {day:%A}: no trading"
    else:
        why = "no trading that day (a holiday), or none of this security's (suspended, or " \
              "not listed then)"
    return f"pelmora: no {what} for {symbol} on {day}, {why}"


def _runner(method: str) -> Callable[[argparse.Namespace], int]:
    def run(args: argparse.Namespace) -> int:
        symbol = args.code.canonical
        with open_hq(args) as hq:
            fetch: Any = getattr(hq, method)
            frame = fetch(symbol, args.date)
            if not len(frame):
                day = (dt.date.fromisoformat(args.date[:10]) if args.date
                       else hq.trading_day().item())
                # An answer, not a failure: status 0, and the note where no program reads it.
                print(_no_trading(method, symbol, day), file=sys.stderr)
        output.write(frame, args.format)
        return 0
    return run
