"""`pelmora ping` (which servers answer, how fast, whether with data) and `pelmora servers`
(the servers file: list it, fill it from a TDX connect.cfg)."""
from __future__ import annotations

import argparse
import concurrent.futures
import multiprocessing
import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .. import config
from ..servers import address_text, literal_host, parse_address
from . import output
from .options import CommandError, Parents, Subparsers, arg

UNREACHABLE = 9999  # the probe's latency of a server it could not reach
NO_SERVERS = ("pelmora servers --import connect.cfg, or pelmora ping HOST:PORT... --check "
              "--save")

if TYPE_CHECKING:
    import pandas as pd

Server = tuple[str, int]


def register(sub: Subparsers, parents: Parents) -> None:
    c = sub.add_parser("ping", parents=[parents.output], help="server latencies, fastest first",
                       description="Time a TCP connect to each server (by default the "
                                   "configured ones), all at once, and print server, latency_ms "
                                   "(empty when unreachable) and status, fastest first. With "
                                   "--check also ask each reachable server for a daily bar of "
                                   "the Shanghai index and a quote. Example: pelmora ping "
                                   "127.0.0.1:7709 127.0.0.1:7711 --check")
    c.add_argument("servers", nargs="*", type=arg(parse_address), metavar="HOST:PORT",
                   help="servers to ping, HOST:PORT or [IPv6]:PORT (default: the configured "
                        "ones)")
    c.add_argument("--file", "-f", action="append", metavar="FILE",
                   help="read addresses from FILE, one HOST:PORT a line (# starts a comment)")
    c.add_argument("--check", action="store_true",
                   help="ask reachable servers for data: status data, partial, empty or why not")
    c.add_argument("--save", action="store_true",
                   help=f"with --check: keep the servers that answered data, fastest first, "
                        f"as the servers file ({config.config_path()})")
    c.set_defaults(run=run_ping)

    c = sub.add_parser("servers", parents=[parents.output], help="the configured servers",
                       description=f"Print the servers of the servers file "
                                   f"({config.config_path()}), server and name, or fill it "
                                   f"from the [HQHOST] section of a TDX installation's "
                                   f"connect.cfg. PELMORA_SERVERS, when set, takes precedence. "
                                   f"Example: pelmora servers --import connect.cfg")
    c.add_argument("--import", dest="source", metavar="PATH",
                   help="replace the servers file by the servers of a TDX connect.cfg")
    c.set_defaults(run=run_servers)


# ---------------------------------------------------------------------------- servers


def _servers(n: int) -> str:
    return "1 server" if n == 1 else f"{n} servers"


def _frame(entries: Sequence[config.NamedServer]) -> pd.DataFrame:
    import pandas as pd
    return pd.DataFrame({"server": [address_text(h, p) for _, h, p in entries],
                         "name": [n for n, _, _ in entries]})


def run_servers(args: argparse.Namespace) -> int:
    path = config.config_path()
    if args.source:
        entries = config.import_connect_cfg(args.source)
        print(f"pelmora: saved {_servers(len(entries))} to {path}", file=sys.stderr)
    else:
        entries = config.load_servers(path)
    if os.environ.get(config.ENV_VAR, "").strip():
        print(f"warning: {config.ENV_VAR} is set: it is used instead of {path}", file=sys.stderr)
    if not entries:
        raise CommandError(f"no servers in {path} ({NO_SERVERS})")
    output.write(_frame(entries), args.format)
    return 0


# ---------------------------------------------------------------------------- ping


def check_server(host: str, port: int) -> str:
    """What a server answers: "data" when a daily bar of the Shanghai composite index and a
    quote come back, "partial" for one of them, "empty" when both bodies are empty, otherwise
    why it failed."""
    from .. import TdxClient
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


def _targets(args: argparse.Namespace) -> list[config.NamedServer]:
    """(name, host, port) of the servers given, of the files given, else of the configured."""
    out: list[config.NamedServer] = [("", h, p) for h, p in args.servers]
    for path in args.file or ():
        if not Path(path).is_file():
            raise CommandError(f"cannot read {path}: no such file")
        out += config.load_servers(path)
    if out or args.file:
        return out
    if os.environ.get(config.ENV_VAR, "").strip():
        return [("", h.strip("[]"), p) for h, p in config.resolve_servers()]
    out = config.load_servers()
    if not out:
        raise CommandError(f"no server to ping: give HOST:PORT arguments or --file, or "
                           f"configure them ({NO_SERVERS})")
    return out


def run_ping(args: argparse.Namespace) -> int:
    import pandas as pd

    from .. import ping_servers
    if args.save and not args.check:
        raise CommandError("--save keeps the servers that answer with data: give --check too")
    targets = _targets(args)
    rows: list[dict[str, Any]] = [
        {"server": address_text(h, p), "latency_ms": None, "status": "unreachable", "name": n}
        for n, h, p in targets]
    probes: list[tuple[str, int, int]] = []  # literal host, port, row
    for i, (_, host, port) in enumerate(targets):
        try:
            probes.append((literal_host(host), port, i))
        except LookupError:
            rows[i]["status"] = "unknown host"
    results = ping_servers([(ip, port) for ip, port, _ in probes])
    # The probe returns its servers fastest first, each with the address text it was given.
    pending: dict[Server, list[int]] = {}
    for ip, port, i in probes:
        pending.setdefault((ip, port), []).append(i)
    order = []
    for ip, port, latency in results:
        i = pending[(ip, port)].pop(0)
        if latency != UNREACHABLE:
            rows[i]["latency_ms"], rows[i]["status"] = latency, "ok"
        order.append(i)
    order += [i for i in range(len(rows)) if i not in set(order)]  # unknown hosts, not probed
    if args.check:
        reachable = [(ip, port, i) for ip, port, i in probes if rows[i]["status"] == "ok"]
        for (_, _, i), status in zip(reachable, _check_all([(ip, p) for ip, p, _ in reachable])):
            rows[i]["status"] = status
    frame = pd.DataFrame([rows[i] for i in order],
                         columns=["server", "latency_ms", "status", "name"])
    frame["latency_ms"] = frame["latency_ms"].astype("Int64")
    if not frame["name"].astype(bool).any():
        frame = frame.drop(columns="name")
    output.write(frame, args.format)
    if args.save:
        keep = [targets[i] for i in order if rows[i]["status"] == "data"]
        if not keep:
            raise CommandError("no server answered with data: the servers file is left as it is")
        path = config.save_servers(keep)
        print(f"pelmora: saved {_servers(len(keep))} to {path}", file=sys.stderr)
    return 0
