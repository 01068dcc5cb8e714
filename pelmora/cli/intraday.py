"""`pelmora ticks` and `pelmora minutes`: one day of a security's trading, on `HQ`."""
from __future__ import annotations

import argparse
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


def _runner(method: str) -> Callable[[argparse.Namespace], int]:
    def run(args: argparse.Namespace) -> int:
        with open_hq(args) as hq:
            fetch: Any = getattr(hq, method)
            frame = fetch(args.code.canonical, args.date)
        output.write(frame, args.format)
        return 0 if len(frame) else 1
    return run
