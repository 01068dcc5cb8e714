"""The `pelmora` command-line tool: TDX market data from a shell.

Each command group lives in its own module with a ``register(sub, parents)`` function (see
`pelmora.cli.options`); `build_parser` calls them in turn, so a new group is one line there.
Output is an aligned table, or with --csv / --json (one object a line) for programs. Errors are
one line on standard error: exit status 2 for a usage error, 1 for a failure.
"""
from __future__ import annotations

import argparse
import os
import sys
import warnings
from collections.abc import Sequence
from typing import Any

from ..build_info import build_info
from ..exceptions import DataWarning, PanicException
from . import bars, demo, events, intraday, local, market, servers, store, verify
from .options import CommandError, make_parents

__all__ = ["main", "build_parser"]


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="pelmora", description="TDX market data from HQ servers and local files.",
        epilog="Codes: 600036, sh600036, 600036.SH or 600036.XSHG; bare codes are Shanghai "
               "when starting with 6, 9 or 5, Shenzhen otherwise (sh000001 is the Shanghai "
               "index, 000001 a Shenzhen stock). Servers: HOST:PORT or [IPv6]:PORT; without "
               "--server, those of PELMORA_SERVERS or of the servers file (pelmora servers).")
    p.add_argument("--version", "-V", action="version", version=build_info(),
                   help="show pelmora's version, the Python's and the inflater's, and exit")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND",
                           help="what to do; pelmora COMMAND --help describes each")
    parents = make_parents()
    servers.register(sub, parents)
    bars.register(sub, parents)
    market.register(sub, parents)
    intraday.register(sub, parents)
    events.register(sub, parents)
    local.register(sub, parents)
    demo.register(sub, parents)
    store.register(sub, parents)
    verify.register(sub, parents)
    return p


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


def _warn(message: Warning | str, category: type[Warning], *rest: Any, **kw: Any) -> None:
    print(f"warning: {message}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the tool with `argv` (default: the process arguments); returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # usage error (2) or --help (0), already printed
        return exc.code if isinstance(exc.code, int) else 2
    with warnings.catch_warnings():
        warnings.simplefilter("always", DataWarning)
        warnings.showwarning = _warn
        return _run(args)


def _run(args: argparse.Namespace) -> int:
    try:
        status: int = args.run(args)
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
    except CommandError as exc:
        return _error(exc)
    except PanicException as exc:
        return _error(f"internal error: {exc}")
    except OSError as exc:
        # The library's errors carry their whole message; Python's own an errno and strerror.
        if exc.strerror:
            return _error(exc.strerror + (f": {exc.filename}" if exc.filename else ""))
        return _error(exc)
    except KeyError as exc:  # str() of a KeyError is the repr of its message
        return _error(exc.args[0] if exc.args else exc)
    except Exception as exc:  # any other failure of the library: its message, no traceback
        return _error(exc)
