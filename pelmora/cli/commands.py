"""The subcommands of the `pelmora` command-line tool.

Each takes the parsed arguments and an output format, prints its rows and returns the exit
status. Failures are raised and turned into one line on standard error by `main`.
"""
from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import multiprocessing
import os
import stat
import sys
from collections.abc import Iterator, Mapping, Sequence
from typing import Any

from .. import TdxClient, ping_servers, read_daily_bars, read_minute_bars
from .. import records
from ..limits import BAR_PAGE, LIST_PAGE, QUOTE_PAGE
from ..servers import address_text, literal_host, parse_address
from . import output
from .codes import is_index_code, label
from .options import CommandError

UNREACHABLE = 9999  # the probe's latency of a server it could not reach

Server = tuple[str, int]
Row = Mapping[str, Any]  # a record of the library, or one made for a table
PingRow = dict[str, Any]

# The security list with the name beside the code.
LIST_COLUMNS = ("code", "name") + tuple(k for k in records.SECURITY if k not in ("code", "name"))
QUOTE_TABLE_COLUMNS = ("code", "price", "change%", "open", "high", "low", "last_close", "vol",
                       "amount", "bid1", "ask1")




@contextlib.contextmanager
def connected(server: Server) -> Iterator[TdxClient]:
    """A TdxClient connected to a "HOST:PORT" server, disconnected afterwards."""
    host, port = server
    client = TdxClient()
    try:
        client.connect(literal_host(host), port)
    except LookupError as exc:
        raise CommandError(str(exc)) from None
    try:
        yield client
    finally:
        client.disconnect()


def first_server(args: argparse.Namespace) -> Server:
    """The first server given, else the first configured one."""
    if args.server:
        return args.server[0]  # type: ignore[no-any-return]
    from ..config import resolve_servers
    return resolve_servers()[0]


def _on_server(server: Server, exc: OSError) -> CommandError:
    return CommandError(f"{address_text(*server)}: {exc}")


# ---------------------------------------------------------------------- ping


def read_address_file(path: str) -> list[Server]:
    """Server addresses of a file, one a line; blank lines and # comments are skipped."""
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except OSError as exc:
        raise CommandError(f"cannot read {path}: {exc.strerror or exc}") from None
    out = []
    for number, line in enumerate(lines, 1):
        text = line.split("#", 1)[0].strip()
        if text:
            try:
                out.append(parse_address(text))
            except ValueError as exc:
                raise CommandError(f"{path}:{number}: {exc}") from None
    return out


def check_server(host: str, port: int) -> str:
    """What a server answers: "data" when a daily bar of the Shanghai composite index and a
    quote come back, "partial" for one of them, "empty" when both bodies are empty, otherwise
    why it failed."""
    client = TdxClient()
    try:
        client.connect(host, port)
    except Exception as exc:
        return f"no connection: {exc}"
    try:
        bars = client.get_index_bars(9, 1, "000001", 0, 1)
        quotes = client.get_security_quotes([(1, "000001")])
    except Exception as exc:
        return f"no answer: {exc}"
    finally:
        client.disconnect()
    return {2: "data", 1: "partial", 0: "empty"}[bool(bars) + bool(quotes)]


def _check_all(targets: Sequence[Server]) -> list[str]:
    """check_server on every (host, port); in parallel processes when there are several,
    since a client keeps the interpreter lock while it waits and threads would not overlap."""
    if len(targets) < 2:
        return [check_server(*t) for t in targets]
    try:
        context = multiprocessing.get_context("spawn")
        with concurrent.futures.ProcessPoolExecutor(min(len(targets), 8), context) as pool:
            return list(pool.map(check_server, *zip(*targets)))
    except (OSError, concurrent.futures.process.BrokenProcessPool):
        return [check_server(*t) for t in targets]


def cmd_ping(args: argparse.Namespace, fmt: str) -> int:
    servers = list(args.servers)
    for path in args.file or ():
        servers += read_address_file(path)
    if not servers:
        raise CommandError("no server to ping: give HOST:PORT arguments or --file")
    rows: list[PingRow] = []
    probes: list[tuple[str, int, PingRow]] = []
    for host, port in servers:
        row: PingRow = {"server": address_text(host, port), "latency_ms": None, "status": "unreachable"}
        rows.append(row)
        try:
            probes.append((literal_host(host), port, row))
        except LookupError:
            row["status"] = "unknown host"
    results = ping_servers([(ip, port) for ip, port, _ in probes])
    # The probe returns its servers fastest first, each with the address text it was given.
    pending: dict[Server, list[PingRow]] = {}
    for ip, port, row in probes:
        pending.setdefault((ip, port), []).append(row)
    ordered = []
    for ip, port, latency in results:
        row = pending[(ip, port)].pop(0)
        if latency != UNREACHABLE:
            row["latency_ms"], row["status"] = latency, "ok"
        ordered.append(row)
    placed = {id(r) for r in ordered}
    ordered += [r for r in rows if id(r) not in placed]  # unknown hosts, never probed
    if args.check:
        reachable = [(ip, port, row) for ip, port, row in probes if row["status"] == "ok"]
        for (_, _, row), status in zip(reachable, _check_all([(ip, p) for ip, p, _ in reachable])):
            row["status"] = status
    output.write(ordered, ["server", "latency_ms", "status"], fmt)
    return 0


# ---------------------------------------------------------------------- bars


def fetch_bars(client: TdxClient, category: int, market: int, code: str, count: int,
               index: bool, progress: output.Progress | None = None) -> list[Row]:
    """The `count` most recent bars (fewer if the history is shorter), oldest first, fetched
    in pages of BAR_PAGE: the server counts `start` back from the most recent bar."""
    pages: list[Sequence[Row]] = []
    got = 0
    while got < count:
        ask = min(BAR_PAGE, count - got)
        page: Sequence[Row] = (client.get_index_bars if index else client.get_security_bars)(
            category, market, code, got, ask)
        pages.append(page)
        got += len(page)
        if progress:
            progress.update(got)
        if len(page) < ask:
            break
    return [bar for page in reversed(pages) for bar in page]


def cmd_bars(args: argparse.Namespace, fmt: str) -> int:
    server = first_server(args)
    market, code = args.code
    index = is_index_code(market, code) if args.index is None else args.index
    progress = output.Progress("bars", args.count if args.count > BAR_PAGE else 0)
    try:
        with connected(server) as client:
            bars = fetch_bars(client, args.period, market, code, args.count, index, progress)
    except OSError as exc:
        raise _on_server(server, exc) from None
    finally:
        progress.close()
    output.write(bars, records.INDEX_BAR if index else records.BAR, fmt)
    if not bars:
        print(f"pelmora: no bars for {label(market, code)}", file=sys.stderr)
        return 1
    return 0


# ---------------------------------------------------------------------- quotes


def fetch_quotes(client: TdxClient, securities: Sequence[tuple[int, str]]) -> list[Row]:
    """Quotes of (market, code) pairs, QUOTE_PAGE a request, in the servers' order."""
    quotes: list[Row] = []
    for i in range(0, len(securities), QUOTE_PAGE):
        quotes += client.get_security_quotes(securities[i:i + QUOTE_PAGE])
    return quotes


def cmd_quotes(args: argparse.Namespace, fmt: str) -> int:
    server = first_server(args)
    try:
        with connected(server) as client:
            quotes = fetch_quotes(client, args.codes)
    except OSError as exc:
        raise _on_server(server, exc) from None
    missing = list(args.codes)
    for q in quotes:
        if (q["market"], q["code"]) in missing:
            missing.remove((q["market"], q["code"]))
    for market, code in dict.fromkeys(missing):
        print(f"pelmora: no quote for {label(market, code)}", file=sys.stderr)
    if fmt == "table":
        rows = [dict(q, code=label(q["market"], q["code"]),
                     **{"change%": round((q["price"] / q["last_close"] - 1) * 100, 2)
                        if q["last_close"] else None})
                for q in quotes]
        output.write(rows, QUOTE_TABLE_COLUMNS, fmt)
    else:
        output.write(quotes, records.QUOTE, fmt)
    return 0 if quotes or not args.codes else 1


# ---------------------------------------------------------------------- list


def fetch_list(client: TdxClient, market: int,
               progress: output.Progress | None = None) -> list[Row]:
    """Every security of a market: get_security_count, then pages of LIST_PAGE."""
    total = client.get_security_count(market)
    if progress and total > LIST_PAGE:
        progress.total = total
    out: list[Row] = []
    while len(out) < total:
        page = client.get_security_list(market, len(out))
        if not page:
            break
        out += page
        if progress:
            progress.update(len(out))
    return out


def cmd_list(args: argparse.Namespace, fmt: str) -> int:
    server = first_server(args)
    progress = output.Progress("securities")
    try:
        with connected(server) as client:
            securities = fetch_list(client, args.market, progress)
    except OSError as exc:
        raise _on_server(server, exc) from None
    finally:
        progress.close()
    output.write(securities, LIST_COLUMNS, fmt)
    return 0


# ---------------------------------------------------------------------- local files


def _regular_file(path: str) -> str:
    """The path, once it is known not to name a directory, FIFO or device, which the readers
    refuse with a message that names no file."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return path  # missing or unreadable: the reader's own message names the path
    if not stat.S_ISREG(mode):
        raise CommandError(f"{path}: not a regular file")
    return path


def cmd_day(args: argparse.Namespace, fmt: str) -> int:
    bars = read_daily_bars(_regular_file(args.file), args.price_coeff, args.vol_coeff)
    output.write(bars, records.DAILY_BAR, fmt)
    return 0


def cmd_minute(args: argparse.Namespace, fmt: str) -> int:
    bars = read_minute_bars(_regular_file(args.file))
    output.write(bars, records.MINUTE_BAR, fmt)
    return 0
