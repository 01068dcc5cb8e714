"""Servers checked against each other: the same page of bars asked of two servers, compared
column by column, a third asked where they disagree, and a server the majority outvotes set
aside in the `HQ`'s pool.

A server can answer every request well framed and still serve wrong bars (zeros, volumes off,
another security's bars): nothing but another server's answer shows it. Each security is
asked of two servers, the pairs taken in turn over the pool's servers so that each server
answers for some of them; so checking N securities costs 2N pages when the servers agree, and
one more page for each security they disagree about. Every server is asked on a connection of
its own (a pool of one server), so that the answer is that server's.
"""
from __future__ import annotations

import dataclasses
import random
from typing import TYPE_CHECKING, Any, Callable, Sequence

from ..fetch import BarQuery, BarResult, Fetch
from ..frames import INDEX_COLUMNS, PRICE_COLUMNS, Bars
from ..limits import BAR_PAGE
from ..periods import Period
from ..symbols import MARKET_NAMES, Symbol, is_index
from .notices import reason

if TYPE_CHECKING:
    import pandas as pd

# Relative difference below which two values are the same (both sides decode the same words).
TOLERANCE = 1e-9
# The columns of `VerifyReport.disagreements`.
COLUMNS = ("server", "symbol", "datetime", "column", "value", "expected")


@dataclasses.dataclass
class VerifyReport:
    """What `HQ.verify` found.

    `disagreements`: one row per value a server gave that another did not, with the columns
    ``server`` (the server whose value it is), ``symbol``, ``datetime`` (the bar's time),
    ``column`` (``datetime`` for a bar one server has and the other lacks, else the bar's column:
    ``open`` ... ``amount``, ``up_count``, ``down_count``), ``value`` (what that server said;
    NaT where it lacks the bar) and ``expected`` (what the majority said where a third server
    settled it; otherwise the other server of the pair, and the security is in `unsettled`).
    Values are in the units of the bar frames (the units table, docs/units.md).
    `set_aside`: the servers outvoted and set aside in the HQ's pool; `checked`: the securities
    compared; `failed`: securities a server of their pair could not give, with the reason;
    `servers`: the servers asked; `requests`: the pages of bars asked, over every server;
    `period`: the period's name."""
    disagreements: pd.DataFrame
    set_aside: list[str]
    checked: list[str]
    failed: dict[str, str]
    unsettled: list[str]
    servers: list[str]
    requests: int
    period: str

    @property
    def ok(self) -> bool:
        """Whether every security checked was given alike by its servers."""
        return not len(self.disagreements) and not self.failed

    def summaries(self) -> list[tuple[str, str, str]]:
        """(server, symbol, what disagrees in words) of each security a server disagreed on."""
        groups = self.disagreements.groupby(["server", "symbol"], sort=False)
        return [(server, symbol, f"{len(rows)} values disagree, the first {_first(rows.iloc[0])}")
                for (server, symbol), rows in groups]

    def headline(self) -> str:
        """The report's first line: what was checked and whether the servers agree."""
        return (f"{len(self.checked)} securities checked ({self.period} bars) on "
                f"{len(self.servers)} servers, {self.requests} requests: "
                + ("the servers agree" if self.ok else
                   f"{len(self.disagreements)} values disagree" if len(self.disagreements) else
                   f"{len(self.failed)} securities not compared"))

    def __str__(self) -> str:
        lines = [self.headline()]
        lines += [f"  {server} {symbol}: {text}" for server, symbol, text in self.summaries()]
        for name in self.unsettled:
            lines.append(f"  {name}: no majority (no third server agreed with either)")
        for name, why in self.failed.items():
            lines.append(f"  {name}: not compared: {why}")
        for server in self.set_aside:
            lines.append(f"  set aside: {server}")
        return "\n".join(lines)


def _first(row: Any) -> str:
    """A disagreement in words."""
    import pandas as pd
    when = str(row["datetime"]).removesuffix(" 00:00:00")
    if row["column"] != "datetime":
        return f"{when} {row['column']} {row['value']:.10g} (expected {row['expected']:.10g})"
    return (f"a bar of {when} that the others lack" if pd.isna(row["expected"])
            else f"no bar of {when}")


def pick(codes: Callable[[int], list[str]], sample: int, seed: int | None) -> list[Symbol]:
    """`sample` securities drawn at random from both markets' lists."""
    every = [Symbol(m, c) for m in sorted(MARKET_NAMES) for c in codes(m)]
    return random.Random(seed).sample(every, min(sample, len(every)))


# Where a server's bars differ from another's, a column at a time: (times, column name, the
# server's values, the other's). Values are floats, or times for the column "datetime".
Difference = tuple[Any, str, Any, Any]


def differences(got: Bars, expected: Bars) -> list[Difference]:
    """Where `got` differs from `expected`: bars that one of them lacks (column "datetime",
    NaT on the side that lacks it), then each value column of the bars both have."""
    import numpy as np
    names = PRICE_COLUMNS + (INDEX_COLUMNS if got.index and expected.index else ())
    out: list[Difference] = []
    if not len(got) or not len(expected):
        lo, hi = None, None
    else:
        # Only the span both pages cover: a server a day ahead pages a day further on, and
        # the bars at either end that only one page reaches say nothing of either.
        lo = max(got.times.min(), expected.times.min())
        hi = min(got.times.max(), expected.times.max())

    def within(times: Any) -> Any:
        return times if lo is None else times[(times >= lo) & (times <= hi)]
    only_got = within(np.setdiff1d(got.times, expected.times))
    only_expected = within(np.setdiff1d(expected.times, got.times))
    if len(only_got):
        out.append((only_got, "datetime", only_got, np.full_like(only_got, "NaT")))
    if len(only_expected):
        out.append((only_expected, "datetime", np.full_like(only_expected, "NaT"),
                    only_expected))
    common, a, b = np.intersect1d(got.times, expected.times, return_indices=True)
    for row, name in enumerate(names):
        x, y = got.values[row, a], expected.values[row, b]
        off = ~np.isclose(x, y, rtol=TOLERANCE, atol=0.0, equal_nan=True)
        if off.any():
            out.append((common[off], name, x[off], y[off]))
    return out


class Verifier:
    """The servers of one check, each asked through a fetch layer of its own, opened when
    first asked and closed by `close`."""

    def __init__(self, servers: Sequence[str], open_fetch: Callable[[str], Fetch]) -> None:
        self.servers = list(servers)
        self._open = open_fetch
        self._fetches: dict[str, Fetch] = {}

    @property
    def requests(self) -> int:
        """The pages of bars asked so far, over every server."""
        return sum(f.bar_requests for f in self._fetches.values())

    def close(self) -> None:
        for f in self._fetches.values():
            f.close()

    def ask(self, asked: dict[str, list[Symbol]], period: Period
            ) -> dict[str, dict[Symbol, Bars | BaseException]]:
        """The latest page of each security of each server's list: every server's batch is
        started before any is taken."""
        pending = {}
        for server, syms in asked.items():
            if server not in self._fetches:
                self._fetches[server] = self._open(server)
            pending[server] = self._fetches[server].start_bars(
                [BarQuery(period.category, s.market, s.code, 0, BAR_PAGE, is_index(s))
                 for s in syms])
        return {server: _split(p.result(), asked[server]) for server, p in pending.items()}


def _split(result: BarResult, syms: Sequence[Symbol]) -> dict[Symbol, Bars | BaseException]:
    """Each security's bars of a batch, or its error."""
    import numpy as np
    errors = dict(result.errors())
    bars = result.bars()
    bounds = np.concatenate([[0], np.cumsum(result.rows())])
    return {s: errors[i] if i in errors else bars.rows(slice(bounds[i], bounds[i + 1]))
            for i, s in enumerate(syms)}


def verify(verifier: Verifier, syms: Sequence[Symbol], period: Period,
           set_aside: Callable[[str, str], None]) -> VerifyReport:
    """Compares each security's latest page on two servers (see the module docstring); a
    server outvoted by the two others is set aside through `set_aside(server, reason)`."""
    servers = verifier.servers
    n = len(servers)
    # Security k goes to servers k and k + 1 of the pool and, disputed, to k + 2.
    trio = {s: (servers[k % n], servers[(k + 1) % n], servers[(k + 2) % n])
            for k, s in enumerate(syms)}
    got = verifier.ask(_by_server({s: t[:2] for s, t in trio.items()}), period)
    failed: dict[str, str] = {}
    answers: dict[Symbol, tuple[Bars, Bars]] = {}
    for s, (a, b, _) in trio.items():
        x, y = got[a][s], got[b][s]
        if isinstance(x, BaseException) or isinstance(y, BaseException):
            server, error = (a, x) if isinstance(x, BaseException) else (b, y)
            failed[s.canonical] = f"{server}: {reason(error)}"  # type: ignore[arg-type]
        else:
            answers[s] = (x, y)
    disputed = [s for s, (x, y) in answers.items() if differences(y, x)]
    third = (verifier.ask(_by_server({s: trio[s][2:] for s in disputed}), period)
             if n > 2 and disputed else {})

    parts: list[tuple[str, str, list[Difference]]] = []
    outvoted: dict[str, list[str]] = {}
    unsettled: list[str] = []
    for s in disputed:
        (a, b, c), (x, y) = trio[s], answers[s]
        z = third.get(c, {}).get(s)
        if isinstance(z, Bars) and not differences(y, z):
            loser, diff = a, differences(x, y)
        else:
            loser, diff = b, differences(y, x)
            if not (isinstance(z, Bars) and not differences(x, z)):
                unsettled.append(s.canonical)  # no majority: b against a, nobody outvoted
        if s.canonical not in unsettled:
            outvoted.setdefault(loser, []).append(s.canonical)
        parts.append((loser, s.canonical, diff))

    for server, names in outvoted.items():
        more = f" and {len(names) - 1} more" if len(names) > 1 else ""
        set_aside(server, f"its {period} bars of {names[0]}{more} disagree with two other "
                          "servers")
    return VerifyReport(_frame(parts), list(outvoted), [s.canonical for s in syms], failed,
                        unsettled, servers, verifier.requests, period.name)


def _by_server(assigned: dict[Symbol, tuple[str, ...]]) -> dict[str, list[Symbol]]:
    """The securities each server is asked for, from the servers each security is asked of."""
    out: dict[str, list[Symbol]] = {}
    for s, servers in assigned.items():
        for server in servers:
            out.setdefault(server, []).append(s)
    return out


def _frame(parts: Sequence[tuple[str, str, list[Difference]]]) -> pd.DataFrame:
    import numpy as np
    import pandas as pd
    columns: dict[str, list[Any]] = {name: [] for name in COLUMNS}
    for server, symbol, diff in parts:
        times = np.concatenate([d[0] for d in diff])
        # A security's disagreements in time order, within a bar in the columns' order.
        order = np.argsort(times, kind="stable")
        k = len(times)
        columns["server"].append(np.full(k, server, dtype=object))
        columns["symbol"].append(np.full(k, symbol, dtype=object))
        columns["datetime"].append(times[order])
        columns["column"].append(np.concatenate([np.full(len(d[0]), d[1], dtype=object)
                                                 for d in diff])[order])
        columns["value"].append(np.concatenate([_cells(d[2]) for d in diff])[order])
        columns["expected"].append(np.concatenate([_cells(d[3]) for d in diff])[order])
    return pd.DataFrame({name: pd.Series(np.concatenate(chunks) if chunks else
                                         np.empty(0, "M8[s]" if name == "datetime" else object))
                         for name, chunks in columns.items()}, columns=list(COLUMNS))


def _cells(values: Any) -> Any:
    """Values as objects: floats as they are, times as Timestamps (NaT where a server lacks
    the bar)."""
    import numpy as np
    import pandas as pd
    if values.dtype.kind == "M":
        return np.array(list(pd.DatetimeIndex(values)), dtype=object)
    return values.astype(object)
