"""Unadjusted bars as frames: one security's, or many's as one long frame, checked against the
security lists and paged, in the frames' units (`scaling`), with what fell short said as
warnings."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Iterable, Literal, NamedTuple

from .. import frames
from ..fetch import Fetch, raise_first
from ..periods import Period
from ..symbols import Symbol, SymbolLike, is_index, many, parse_symbol
from . import paging
from .listing import SecurityLists
from .notices import Notices, raise_nothing, reason
from .scaling import Scaling

if TYPE_CHECKING:
    import numpy as np

    from ..arrow import ArrowBars
    import pandas as pd

Progress = Callable[[int, int], object]


class Gathered(NamedTuple):
    """Bars of many securities one after the other, unscaled: `rows[i]` rows of `symbols[i]`;
    `attrs` the long frame's (``errors``, ``empty``)."""
    bars: frames.Bars
    symbols: list[Symbol]
    rows: list[int]
    attrs: dict[str, Any]


class RawBars:
    """Unadjusted bars over a fetch layer, its security lists, its notices and the units of its
    frames."""

    def __init__(self, fetch: Fetch, lists: SecurityLists, notices: Notices,
                 scaling: Scaling) -> None:
        self.fetch = fetch
        self.lists = lists
        self.notices = notices
        self.scaling = scaling

    def quieted(self) -> RawBars:
        """The same bars without warnings (see `Notices.quieted`)."""
        notices = self.notices.quieted()
        return RawBars(self.fetch, self.lists, notices, self.scaling.quieted(notices))

    def one(self, sym: Symbol, period: Period, count: int, lo: np.datetime64 | None,
            hi: np.datetime64 | None, progress: Progress | None) -> pd.DataFrame:
        """The frame of `HQ.bars` of a listed security, for a window of `bar_bounds`."""
        self.lists.check([sym])
        try:
            if lo is None and hi is None:
                batch = paging.latest_one(self.fetch, sym, period, count, progress)
                raise_first(batch.errors())
                bars = batch.bars()
            else:
                walked, fails = paging.walk_back(self.fetch, self.notices, [sym], period,
                                                 count, lo, hi, progress)
                if fails:
                    raise fails[sym]
                bars = walked[sym]
        finally:
            self.notices.servers()
        got = len(bars)
        if got == 0:
            self.notices.warn(f"{sym.canonical}: the server has no {period} bars"
                              + (" in the range asked for" if lo is not None or hi is not None
                                 else ""))
        elif lo is None and got < count:
            self.notices.short((sym, period.name), f"{sym.canonical}: {got} {period} bars, "
                               f"not {count}: its history goes back only to {bars.times[0]}")
        return frames.bars_frame(self.scaling.bars(bars, [sym], [got]))

    def many(self, symbols: Iterable[SymbolLike], period: Period, count: int,
             lo: np.datetime64 | None, hi: np.datetime64 | None,
             errors: Literal["warn", "raise"], progress: Progress | None) -> pd.DataFrame:
        """The long frame of `HQ.bars_many`, for a window of `bar_bounds`."""
        got = self.gather(symbols, period, count, lo, hi, errors, progress)
        bars = self.scaling.bars(got.bars, got.symbols, got.rows)
        frame = frames.long_frame(bars, [s.canonical for s in got.symbols], got.rows)
        frame.attrs.update(got.attrs)
        return frame

    def many_arrow(self, symbols: Iterable[SymbolLike], period: Period, count: int,
                   lo: np.datetime64 | None, hi: np.datetime64 | None,
                   errors: Literal["warn", "raise"], progress: Progress | None) -> ArrowBars:
        """The columns of `HQ.bars_many`'s long frame with its ``type``, built without pandas
        and without copying the columns the units leave as they are."""
        from ..arrow import long_bars
        got = self.gather(symbols, period, count, lo, hi, errors, progress)
        values = self.scaling.columns(got.bars, got.symbols, got.rows)
        return long_bars(got.bars.times, values, [s.canonical for s in got.symbols], got.rows,
                         self.scaling.types(got.symbols), got.attrs)

    def gather(self, symbols: Iterable[SymbolLike], period: Period, count: int,
               lo: np.datetime64 | None, hi: np.datetime64 | None,
               errors: Literal["warn", "raise"], progress: Progress | None) -> Gathered:
        """The bars of `HQ.bars_many` as the servers sent them, before any frame is made;
        warns of what failed or was empty."""
        fails: dict[str, BaseException] = {}
        syms: list[Symbol] = []
        seen: set[Symbol] = set()
        for value in many(symbols):
            try:
                sym = parse_symbol(value)
            except ValueError as exc:
                if errors == "raise":
                    raise
                fails[str(value)] = exc
                continue
            if sym not in seen:
                seen.add(sym)
                syms.append(sym)
        try:
            listed = self.lists.check(syms, fails if errors == "warn" else None)
            indices = [is_index(s) for s in listed]
            if lo is None and hi is None:
                bars, counts, failed = paging.latest(self.fetch, listed, indices, period, count,
                                                     progress)
                rows = counts.tolist()
            else:
                per, failed = paging.walk_back(self.fetch, self.notices, listed, period, count,
                                               lo, hi, progress)
                rows = [len(per[s]) if s in per else 0 for s in listed]
                bars = frames.concat([per[s] for s in listed if s in per], any(indices))
        finally:
            self.notices.servers()
        for sym, error in failed.items():
            if errors == "raise":
                raise error
            fails[sym.canonical] = error
        if not listed or len(failed) == len(listed):
            raise_nothing(fails)
        empty = [s.canonical for s, n in zip(listed, rows) if n == 0 and s not in failed]
        attrs = {"errors": {name: reason(e) for name, e in fails.items()}, "empty": empty}
        if fails:
            listing = "; ".join(f"{name} ({reason(e)})" for name, e in fails.items())
            self.notices.warn(f"{len(fails)} of {len(fails) + len(listed) - len(failed)} "
                              f"securities failed: {listing}")
        if empty:
            self.notices.warn(f"no {period} bars for {', '.join(empty)}")
        return Gathered(bars, listed, rows, attrs)
