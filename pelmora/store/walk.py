"""Each security's bars for a sync, straight from the engine's columns.

A `Chunk` holds securities of one period and one layout (indices apart: their bars carry two
more columns). A security new to the store is walked back a page at a time until its oldest
bar reaches the depth asked for or its history ends; a stored one is asked for the bars since
its last stored one (`count`), and walked back further only when all of those are new. Each
round is one batch of requests for every security of the chunk still walking, and the rows of
its result are split by security by the rows each request gave: no frame on the way. The
servers count volumes in lots: each security's are counted in units (`units.to_units`) by its
lot size before they reach the writer.
"""
from __future__ import annotations

import dataclasses
from typing import Mapping, Optional, Sequence

import numpy as np

from .. import units
from ..fetch import BarQuery, BarResult
from ..frames import PRICE_COLUMNS, Bars, concat
from ..hq import count_pages
from ..hq.notices import reason
from ..limits import BAR_PAGE, MAX_OFFSET
from ..symbols import Symbol, is_index, parse_period
from .codec import time_keys


@dataclasses.dataclass
class _Walk:
    sym: Symbol
    last: Optional[int]          # the stored last key (None: new to the store)
    lo: Optional[int]            # walking back until a bar at or before this key
    pages: list[Bars] = dataclasses.field(default_factory=list)  # latest first
    start: int = 0               # offset of the next page
    error: Optional[str] = None
    done: bool = False


class Chunk:
    """The bars of a few securities of one period: `queries` gives the next batch to start
    (empty once every security is done), `take` reads its result; then `bars` and
    `failures`. `volunits`: the lot size of each security by symbol (one missing or 0 keeps
    the servers' count; the sync warns of those)."""

    def __init__(self, period: str, syms: Sequence[Symbol], last: dict[str, tuple[int, int]],
                 count: int, deepest: int, volunits: Mapping[str, int]) -> None:
        self.period = period
        self._volunits = volunits
        self.syms = list(syms)
        self._category = parse_period(period)
        self._count = count
        self._walks = []
        for s in self.syms:
            stored = last.get(s.canonical)
            self._walks.append(_Walk(s, stored[0] if stored else None,
                                     None if stored else deepest))
        self._asked: list[tuple[_Walk, int]] = []   # walks of the batch out, and its requests

    def queries(self) -> list[BarQuery]:
        """The next batch: the latest `count` bars of each stored security in the first
        round, else a page further back of each security still walking."""
        out: list[BarQuery] = []
        self._asked = []
        for w in self._walks:
            if w.done:
                continue
            if w.last is not None and not w.pages and w.lo is None:
                pages = count_pages(self._count)
                w.start = pages[0][0] + pages[0][1]
            else:
                pages = [(w.start, BAR_PAGE)]
                w.start += BAR_PAGE
            out += [BarQuery(self._category, w.sym.market, w.sym.code, a, n, is_index(w.sym))
                    for a, n in pages]
            self._asked.append((w, len(pages)))
        return out

    def take(self, result: BarResult) -> None:
        """Reads a batch's result: each security's rows, and whether it is done."""
        failed = dict(result.errors())
        ends = np.cumsum(result.rows()).tolist()
        bars = result.bars()
        i = 0
        for w, n in self._asked:
            errors = [failed[j] for j in range(i, i + n) if j in failed]
            a, b = (ends[i - 1] if i else 0), ends[i + n - 1]
            i += n
            if errors:
                w.error, w.done = reason(errors[0]), True
                continue
            page = bars.rows(slice(a, b))
            keys = time_keys(page.times[:1], self.period)
            w.pages.append(page)
            if w.lo is None:  # the latest bars of a stored security
                assert w.last is not None
                if len(page) and keys[0] > w.last:  # all new: walk back to the store
                    w.lo = w.last if self.period == "day" else w.last // 10000 * 10000
                else:
                    w.done = True
                    continue
            else:
                w.done = len(page) < BAR_PAGE or bool(len(page) and keys[0] <= w.lo)
            w.done = w.done or w.start > MAX_OFFSET

    def bars(self) -> dict[str, Bars]:
        """The bars got of each security that did not fail, oldest first, volumes in
        units."""
        out = {}
        for w in self._walks:
            if w.error is not None:
                continue
            got = concat(w.pages[::-1], is_index(w.sym))
            if w.lo is not None and len(got):
                keep = time_keys(got.times, self.period) >= w.lo
                if not keep.all():
                    got = got.rows(keep)
            out[w.sym.canonical] = _in_units(got, self._volunits.get(w.sym.canonical, 0))
        return out

    def failures(self) -> dict[str, str]:
        return {w.sym.canonical: w.error for w in self._walks if w.error is not None}


_VOLUME = PRICE_COLUMNS.index("volume")


def _in_units(bars: Bars, volunit: int) -> Bars:
    """`bars` with their volumes in units (a copy: the engine's memory is left as it is)."""
    values = bars.values.copy()
    values[_VOLUME] = units.to_units(values[_VOLUME], volunit)
    return Bars(bars.times, values)
