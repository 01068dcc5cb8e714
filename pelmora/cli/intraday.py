"""`pelmora ticks` and `pelmora minutes`: one day of a security's trading, on `HQ`."""
from __future__ import annotations

import argparse
import datetime as dt
import sys
from typing import Any, Callable

from ..dates import bound
from ..symbols import parse_symbol
from . import output
from .options import CODE_HELP, Parents, Subparsers, arg, date, open_hq

_EMPTY = ("A day without trading prints no rows and says so on standard error, with exit "
          "status 0.")
# (command and the HQ method it runs, help, description)
_COMMANDS = (
    ("ticks", "every tick of a day",
     "Every transaction of a day (the servers' latest trading day without --date), in the "
     "server's order. Prints datetime (to the minute: ticks carry no seconds), price, vol, "
     "num (today's only), buyorsell (the server's buy-or-sell code) and seq, the "
     "tick's place in the day. "
     f"{_EMPTY} Example: pelmora ticks 600036 --date 2025-06-12"),
    ("minutes", "the minute series of a day",
     "The minute series of a day (the servers' latest trading day without --date): datetime, "
     "price and vol of each minute, 09:31 to 11:30 and 13:01 to 15:00, each at its end. "
     f"{_EMPTY} Example: pelmora minutes 600036 --date 2025-06-12"),
)


def register(sub: Subparsers, parents: Parents) -> None:
    for name, help_text, description in _COMMANDS:
        c = sub.add_parser(name, parents=[parents.output, parents.servers], help=help_text,
                           description=description)
        c.add_argument("code", type=arg(parse_symbol), metavar="CODE", help=CODE_HELP)
        c.add_argument("--date", type=date, metavar="DATE",
                       help="the day, YYYY-MM-DD (default: the servers' latest trading day)")
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
                when = bound(args.date, "date", False) if args.date else hq.trading_day()
                day = dt.date.fromisoformat(str(when)[:10])
                # An answer, not a failure: status 0, and the note where no program reads it.
                print(_no_trading(method, symbol, day), file=sys.stderr)
        output.write(frame, args.format)
        return 0
    return run
