"""`pelmora sync`, `pelmora query` and `pelmora export`: the local market-data store."""
from __future__ import annotations

import argparse
import contextlib
import sys
import time
from typing import Any

from . import output
from .options import CommandError, Parents, Subparsers, date, positive

_PERIODS = ("day", "5m", "1m")
_MARKETS = ("sh", "sz")


def _list(text: str, allowed: tuple[str, ...], what: str) -> list[str]:
    items = [t.strip().lower() for t in text.split(",") if t.strip()]
    bad = [t for t in items if t not in allowed]
    if bad or not items:
        raise argparse.ArgumentTypeError(f"invalid {what} {text!r}: expected a comma-separated "
                                         f"list of {', '.join(allowed)}")
    return list(dict.fromkeys(items))


def _periods(text: str) -> list[str]:
    """The stored periods named, comma-separated, by their canonical names (pandas' "D",
    "5min" and "min" too)."""
    from ..symbols import period_name
    try:
        names = [period_name(t) for t in text.split(",") if t.strip()]
    except ValueError:
        names = []
    bad = [n for n in names if n not in _PERIODS]
    if bad or not names:
        raise argparse.ArgumentTypeError(f"invalid period {text!r}: expected a comma-separated "
                                         f"list of {', '.join(_PERIODS)} (or D, 5min, min)")
    return list(dict.fromkeys(names))


def register(sub: Subparsers, parents: Parents) -> None:
    c = sub.add_parser("sync", parents=[parents.servers], help="fill or update a local store",
                       description="Download every security's bars into the store folder "
                                   "(its whole history the first time, what is new later), "
                                   "with the security lists, ex-rights events and finance "
                                   "figures. On a terminal it draws a bar a period and prints "
                                   "a summary; otherwise it prints only errors. Exit status 1 "
                                   "when any security failed. Example: pelmora sync "
                                   "~/tdx-store --period day,5m")
    c.add_argument("store", metavar="STORE", help="the store's folder (made if missing)")
    c.add_argument("--period", type=_periods, default="day",
                   help=f"bar periods, comma-separated, of {', '.join(_PERIODS)} or pandas' "
                        f"names for them (D, 5min, min) (default %(default)s)")
    c.add_argument("--market", type=lambda t: _list(t, _MARKETS, "market"),
                   default=",".join(_MARKETS),
                   help="markets, comma-separated (default %(default)s)")
    c.add_argument("--symbols", nargs="+", metavar="CODE",
                   help="only these securities (default: every one of the markets' lists)")
    c.add_argument("--since", type=date, metavar="DATE",
                   help="fetch history back to DATE only (default: as deep as the servers "
                        "go); on a store that has bars, securities whose stored history starts "
                        "after DATE are fetched back to it, the others are updated as usual")
    c.add_argument("--verify", type=positive(10_000, "verify", "securities to check"),
                   metavar="N",
                   help="before writing, check N of the securities, drawn at random, on two "
                        "servers (as pelmora verify does); a server the others outvote is set "
                        "aside and the sync goes on with the rest; the result is in the sync "
                        "log (events of kind verify)")
    c.add_argument("--check", action="store_true",
                   help="only report incomplete securities (exit status 1 if any)")
    c.add_argument("--quiet", "-q", action="store_true", help="print nothing but errors")
    c.set_defaults(run=_sync)

    c = sub.add_parser("query", parents=[parents.output], help="SQL over a local store",
                       description="Run one read-only SQL query over the store and print its "
                                   "rows. Bars are in the views bars_day, bars_5m and bars_1m "
                                   "(prices in thousandths, datetime as YYYYMMDD[HHMM]), which "
                                   "unpack the stored blocks: a query that names its symbols is "
                                   "fast, a scan of the whole market takes a while (use export "
                                   "for that). Example: pelmora query ~/tdx-store \"SELECT "
                                   "datetime, close FROM bars_day WHERE symbol = 'sh600036' "
                                   "ORDER BY datetime DESC LIMIT 5\"")
    c.add_argument("store", metavar="STORE", help="the store's folder")
    c.add_argument("sql", metavar="SQL", help="one SELECT statement")
    c.set_defaults(run=_query)

    c = sub.add_parser("export", help="a store's bars as Hive-partitioned Parquet",
                       description="Write every stored bar as Parquet under DIR, partitioned "
                                   "period=/market=/year= (needs pyarrow: pelmora[export]), "
                                   "and print how many were written. Example: pelmora export "
                                   "~/tdx-store --parquet ~/tdx-parquet")
    c.add_argument("store", metavar="STORE", help="the store's folder")
    c.add_argument("--parquet", required=True, metavar="DIR",
                   help="the folder to write to (what an earlier export wrote there is "
                        "replaced)")
    c.set_defaults(run=_export)


class _Bar:
    """One bar for each period: its securities done, bars a second and the time left, on a
    terminal's standard error."""

    def __init__(self, periods: list[str]) -> None:
        self._periods = periods
        self._bars: dict[str, Any] = {}
        self._began = time.monotonic()

    def __call__(self, done: int, total: int, bars: int, period: str) -> None:
        shown = self._bars.get(period)
        if shown is None:  # made at the period's first call, when the total is known
            from tqdm import tqdm
            shown = self._bars[period] = tqdm(
                total=total, unit=" securities", file=sys.stderr, dynamic_ncols=True,
                desc=f"sync {period}", position=self._periods.index(period))
        rate = bars / max(time.monotonic() - self._began, 1e-3)
        shown.set_postfix_str(f"{rate:,.0f} bars/s", refresh=False)
        shown.update(done - shown.n)

    def close(self) -> None:
        for shown in self._bars.values():
            shown.close()


def _securities(n: int) -> str:
    return f"{n:,} security" if n == 1 else f"{n:,} securities"


def _sync(args: argparse.Namespace) -> int:
    from ..store import StoreBusy, sync
    from ..store.check import check
    from ..store.errors import naming
    from ..store.schema import connect, store_file
    if args.check:
        with contextlib.closing(connect(args.store, readonly=True)) as con, \
                naming(store_file(con)):
            return _report(check(con), args.quiet)
    bar = _Bar(args.period) if not args.quiet and sys.stderr.isatty() else None
    try:
        summary = sync(args.store, args.server, periods=args.period, markets=args.market,
                       symbols=args.symbols, since=args.since, connections=args.connections,
                       progress=bar, verify=args.verify or 0)
    except StoreBusy as exc:
        raise CommandError(str(exc)) from None
    except KeyboardInterrupt:
        if bar is not None:
            bar.close()
            bar = None
        print(f"pelmora: sync interrupted; what it wrote is kept, and pelmora sync "
              f"{args.store} carries on from there", file=sys.stderr)
        return 130
    finally:
        if bar is not None:
            bar.close()
    for market, why in summary.markets_failed.items():
        print(f"pelmora: {market} security list failed: {why}", file=sys.stderr)
    for name, why in summary.failures.items():
        print(f"pelmora: {name} failed: {why}", file=sys.stderr)
    for server, why in summary.servers_set_aside:
        print(f"pelmora: server {server} set aside: {why}", file=sys.stderr)
    # Off a terminal (cron, a pipe) only the errors above are printed.
    if not args.quiet and sys.stdout.isatty():
        with contextlib.closing(connect(args.store, readonly=True)) as con:
            issues = check(con)
        print(f"{_securities(summary.securities)} updated ({', '.join(args.period)} bars), "
              f"{summary.added:,} bars added, {summary.replaced:,} replaced, "
              f"{summary.removed:,} removed, {summary.failed:,} failed; "
              f"{summary.requests:,} requests in {summary.seconds:.1f} s")
        if issues:
            print(f"{_securities(len({i[0] for i in issues}))} incomplete "
                  f"(pelmora sync {args.store} --check)")
    return 0 if summary.ok else 1


def _report(issues: list[tuple[str, str, str, str]], quiet: bool) -> int:
    if not quiet:
        for symbol, period, problem, detail in issues:
            print(f"{symbol}  {period or '-'}  {problem}: {detail}")
        if not issues:
            print("complete: no gaps, no series stopped early")
    return 1 if issues else 0


def _query(args: argparse.Namespace) -> int:
    from ..store import Store
    with Store(args.store) as store:
        frame = store.sql(args.sql)
    output.write(frame, args.format)
    return 0


def _export(args: argparse.Namespace) -> int:
    from ..store.errors import naming
    from ..store.export import export_parquet
    from ..store.schema import connect, store_file
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise CommandError("export needs pyarrow: pip install 'pelmora[export]'") from None
    with contextlib.closing(connect(args.store, readonly=True)) as con, \
            naming(store_file(con)):
        n = export_parquet(con, args.parquet)
    print(f"{n:,} bars written to {args.parquet}")
    return 0
