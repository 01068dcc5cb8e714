"""What the commands share: the parent parsers of the common options, value types, the error.

A command module has one function, ``register(sub, parents)``, that adds its subcommands to the
parser with ``set_defaults(run=...)``; ``run(args)`` prints the command's output and returns the
exit status. Failures are raised (`CommandError` for one of the tool's own) and become one line
on standard error in `pelmora.cli.main`.
"""
from __future__ import annotations

import argparse
import os
from collections.abc import Callable
from typing import TYPE_CHECKING, NamedTuple, TypeVar

from ..limits import MAX_CONNECTIONS
from ..methods import METHODS
from ..servers import parse_address
from ..periods import PERIODS, Period, to_period
from ..symbols import MARKETS

if TYPE_CHECKING:
    from ..hq import HQ
    Subparsers = argparse._SubParsersAction[argparse.ArgumentParser]
else:
    Subparsers = argparse._SubParsersAction

T = TypeVar("T")

# Connections over the servers, as HQ opens by default.
DEFAULT_CONNECTIONS = 8
ADJUST_METHODS = METHODS


class CommandError(Exception):
    """A failure worth one line on standard error (exit status 1)."""


class Parents(NamedTuple):
    """Parent parsers a subcommand takes its common options from. Their actions are shared by
    every subcommand that takes them: a default is set here, never by a subcommand's
    ``set_defaults`` (which would change it for all of them)."""
    output: argparse.ArgumentParser   # --csv / --json
    servers: argparse.ArgumentParser  # --server (repeatable), --connections


def arg(parse: Callable[[str], T]) -> Callable[[str], T]:
    """An argparse type from a parser raising ValueError (reported as a usage error)."""
    def convert(text: str) -> T:
        try:
            return parse(text)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
    convert.__name__ = parse.__name__.replace("parse_", "")
    return convert


def positive(limit: int, what: str, why: str) -> Callable[[str], int]:
    """An argparse type of whole numbers from 1 to `limit`, which `why` explains."""
    def convert(text: str) -> int:
        if not text.isdigit() or not 0 < int(text) <= limit:
            raise argparse.ArgumentTypeError(f"invalid {what} {text!r}: expected a whole number "
                                             f"from 1 to {limit:,} ({why})")
        return int(text)
    convert.__name__ = what
    return convert


def make_parents() -> Parents:
    output = argparse.ArgumentParser(add_help=False)
    group = output.add_mutually_exclusive_group()
    group.add_argument("--csv", dest="format", action="store_const", const="csv",
                       help="comma-separated values with a header line")
    group.add_argument("--json", dest="format", action="store_const", const="json",
                       help="one JSON object a line")
    output.set_defaults(format="table")

    servers = argparse.ArgumentParser(add_help=False)
    servers.add_argument("--server", "-s", action="append", type=arg(parse_address),
                         metavar="HOST:PORT",
                         help="an HQ server to ask (repeatable); by default the configured ones "
                              "(PELMORA_SERVERS, else the servers file: see `pelmora servers`)")
    servers.add_argument("--connections", "-c", type=positive(MAX_CONNECTIONS, "connections",
                                                              "the most a pool opens"),
                         default=DEFAULT_CONNECTIONS, metavar="N",
                         help=f"connections over the servers, at most {MAX_CONNECTIONS} "
                              f"(default %(default)s)")
    return Parents(output, servers)


def period(text: str) -> Period:
    """The bar period given by any name `HQ.bars` takes ("day", "5m", pandas' "D" or "5min", a
    category), parsed once: the commands hand it on as it is."""
    try:
        return to_period(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def date(text: str) -> str:
    """A date or date and time as given, once it is known to be one (year first, the rule
    every call of the library reads dates by)."""
    from ..dates import bound
    try:
        bound(text, "date", False)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text.strip()


def market(text: str) -> str:
    t = text.strip().lower()
    if t not in MARKETS:
        raise argparse.ArgumentTypeError(f"invalid market {text!r}: expected sh or sz")
    return t


PERIOD_HELP = (f"{', '.join(PERIODS)}, pandas' names (D, W, M, 5min, h, ...) or a category "
               f"0-11 (default %(default)s)")
CODE_HELP = "a security: 600036, sh600036, 600036.SH or 600036.XSHG (see pelmora --help)"


def open_hq(args: argparse.Namespace, option: str = "--server") -> HQ:
    """An `HQ` on the servers given with `option`, else on the configured ones."""
    from .. import config
    from ..hq import HQ
    if not args.server and not os.environ.get(config.ENV_VAR, "").strip() \
            and not config.load_servers():
        raise CommandError(f"no HQ server configured: give {option} HOST:PORT, set "
                           f"{config.ENV_VAR}='HOST:PORT,HOST:PORT', or save them to "
                           f"{config.config_path()} (pelmora servers --import connect.cfg, or "
                           f"pelmora ping HOST:PORT... --check --save)")
    return HQ(args.server or None, connections=args.connections)
