"""The `pelmora` command-line tool: TDX market data from a shell.

    pelmora ping HOST:PORT...            server latencies, fastest first (--check asks for data)
    pelmora bars CODE --server HOST:PORT K-line bars (--period, --count)
    pelmora quotes CODE... --server ...  real-time quotes
    pelmora list --market sh --server .. all securities of a market
    pelmora day FILE / pelmora minute FILE   local .day / .lc1 / .lc5 files
    pelmora demo                         all of it against a simulated server, offline

Output is an aligned table, or with --csv / --json (one object a line) for programs. Errors are
one line on standard error: exit status 2 for a usage error, 1 for a failure.
"""
from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Sequence
from typing import TypeVar

from .._version import __version__
from ..exceptions import PanicException
from ..limits import BAR_PAGE, LIST_PAGE, QUOTE_PAGE
from ..servers import parse_address
from . import commands
from .codes import PERIODS, parse_code, parse_market, parse_period

T = TypeVar("T")

__all__ = ["main", "build_parser"]


def _arg(parse: Callable[[str], T]) -> Callable[[str], T]:
    """An argparse type from a parser raising ValueError (reported as a usage error)."""
    def convert(text: str) -> T:
        try:
            return parse(text)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
    convert.__name__ = parse.__name__.replace("parse_", "")
    return convert


def _count(text: str) -> int:
    # Pages are asked for by a 16-bit start offset, so 65535 bars is as far back as one can go.
    if not text.isdigit() or not 0 < int(text) <= 0xFFFF:
        raise argparse.ArgumentTypeError(f"invalid count {text!r}: expected a whole number "
                                         f"from 1 to 65535")
    return int(text)


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="pelmora", description="TDX market data from HQ servers and local files.",
        epilog="Codes: six digits, Shanghai when starting with 6, 9 or 5, Shenzhen otherwise; "
               "prefix sh or sz to choose (sh000001 is the Shanghai index, 000001 a Shenzhen "
               "stock). Servers: HOST:PORT or [IPv6]:PORT.")
    p.add_argument("--version", "-V", action="version", version=f"pelmora {__version__}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    formats = argparse.ArgumentParser(add_help=False)
    group = formats.add_mutually_exclusive_group()
    group.add_argument("--csv", dest="format", action="store_const", const="csv",
                       help="comma-separated values with a header line")
    group.add_argument("--json", dest="format", action="store_const", const="json",
                       help="one JSON object a line")
    formats.set_defaults(format="table")

    server = argparse.ArgumentParser(add_help=False)
    server.add_argument("--server", "-s", required=True, type=_arg(parse_address),
                        metavar="HOST:PORT", help="the HQ server to ask")

    c = sub.add_parser("ping", parents=[formats], help="server latencies, fastest first",
                       description="Time a TCP connect to each server, all at once; fastest "
                                   "first. With --check also ask each reachable server for a "
                                   "daily bar of the Shanghai index and a quote.")
    c.add_argument("servers", nargs="*", type=_arg(parse_address), metavar="HOST:PORT")
    c.add_argument("--file", "-f", action="append", metavar="FILE",
                   help="read addresses from FILE, one a line (# starts a comment)")
    c.add_argument("--check", action="store_true",
                   help="ask reachable servers for data: status data, partial, empty or why not")
    c.set_defaults(run=commands.cmd_ping)

    c = sub.add_parser("bars", parents=[formats, server], help="K-line bars of a security",
                       description=f"The most recent K-line bars, oldest first, fetched "
                                   f"{BAR_PAGE} a request.")
    c.add_argument("code", type=_arg(parse_code), metavar="CODE")
    c.add_argument("--period", "-p", type=_arg(parse_period), default=PERIODS["day"],
                   metavar="PERIOD", help=f"{', '.join(PERIODS)} or a category 0-11 "
                                          f"(default day)")
    c.add_argument("--count", "-n", type=_count, default=100, help="number of bars (default 100)")
    c.add_argument("--index", action=argparse.BooleanOptionalAction, default=None,
                   help="read index bars (with advancing/declining counts); by default for "
                        "sh000xxx, sh880xxx, sh999xxx and sz399xxx")
    c.set_defaults(run=commands.cmd_bars)

    c = sub.add_parser("quotes", parents=[formats, server], help="real-time quotes",
                       description="Quotes with five bid and ask levels (all fields with --csv "
                                   f"and --json), {QUOTE_PAGE} securities a request.")
    c.add_argument("codes", nargs="+", type=_arg(parse_code), metavar="CODE")
    c.set_defaults(run=commands.cmd_quotes)

    c = sub.add_parser("list", parents=[formats, server], help="all securities of a market",
                       description=f"Every security of a market, {LIST_PAGE} a request.")
    c.add_argument("--market", "-m", required=True, type=_arg(parse_market), metavar="sh|sz")
    c.set_defaults(run=commands.cmd_list)

    c = sub.add_parser("day", parents=[formats], help="bars of a local .day file")
    c.add_argument("file", metavar="FILE")
    c.add_argument("--price-coeff", type=float, default=0.01,
                   help="yuan per stored price unit (default 0.01)")
    c.add_argument("--vol-coeff", type=float, default=0.01,
                   help="factor of the stored volume (default 0.01)")
    c.set_defaults(run=commands.cmd_day)

    c = sub.add_parser("minute", parents=[formats], help="bars of a local .lc1 or .lc5 file")
    c.add_argument("file", metavar="FILE")
    c.set_defaults(run=commands.cmd_minute)

    c = sub.add_parser("demo", help="a session against a simulated server, no network needed",
                       description="Start the simulated HQ server of pelmora.testing on "
                                   "loopback, run a few commands against it, stop it.")
    c.set_defaults(run=_run_demo, format="table")
    return p


def _run_demo(args: argparse.Namespace, fmt: str) -> int:
    from .demo import run
    return run()


def _error(message: object) -> int:
    print(f"pelmora: error: {message}", file=sys.stderr)
    return 1


def _silence_stdout() -> None:
    """Point standard output at /dev/null, so that the interpreter's flush at exit finds no
    closed pipe to complain about."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    """Run the tool with `argv` (default: the process arguments); returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # usage error (2) or --help (0), already printed
        return exc.code if isinstance(exc.code, int) else 2
    try:
        status: int = args.run(args, args.format)
        sys.stdout.flush()  # a closed pipe shows here, not in the interpreter's exit
        return status
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader stopped reading (`pelmora list ... | head`): it has what it wanted, which
        # is no failure of the tool.
        _silence_stdout()
        return 0
    except commands.CommandError as exc:
        return _error(exc)
    except PanicException as exc:
        return _error(f"internal error: {exc}")
    except OSError as exc:
        # The library's errors carry their whole message; Python's own an errno and strerror.
        if exc.strerror:
            return _error(exc.strerror + (f": {exc.filename}" if exc.filename else ""))
        return _error(exc)
    except Exception as exc:  # any other failure of the library: its message, no traceback
        return _error(exc)
