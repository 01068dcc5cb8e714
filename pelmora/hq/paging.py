"""Bars a page of 800 at a time: the latest `count` of many securities in one batch, or pages
fetched back from the latest until a start date (or a count up to an end) is reached."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Sequence

from .. import frames
from ..fetch import BarQuery, BarResult, Fetch
from ..limits import BAR_PAGE, MAX_OFFSET
from ..periods import Period
from ..symbols import Symbol, is_index
from .notices import Notices

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

Progress = Callable[[int, int], object]


def count_pages(count: int) -> list[tuple[int, int]]:
    """(start, count) of the requests for the latest `count` bars, oldest page first."""
    pages = []
    start = 0
    while start < count and start <= MAX_OFFSET:
        pages.append((start, min(BAR_PAGE, count - start)))
        start += BAR_PAGE
    return pages[::-1]


def in_securities(progress: Progress | None, securities: int) -> Progress | None:
    """`progress` for a batch whose requests are grouped by security in the order asked:
    the engine's (requests done, requests) as (securities done, securities), each value
    given once."""
    if progress is None:
        return None
    last = [-1]

    def report(done: int, total: int) -> None:
        value = done * securities // total if total else securities
        if value != last[0]:
            last[0] = value
            progress(value, securities)
    return report


def _run(fetch: Fetch, category: int, pages: Sequence[tuple[Symbol, int, int, bool]],
         progress: Progress | None) -> BarResult:
    return fetch.bars([BarQuery(category, s.market, s.code, start, n, ix)
                       for s, start, n, ix in pages], progress)


def latest_one(fetch: Fetch, sym: Symbol, period: Period, count: int,
               progress: Progress | None) -> BarResult:
    """The latest `count` bars of one security, every page in one batch; `progress` counts
    the pages."""
    index = is_index(sym)
    return _run(fetch, period.category, [(sym, s, n, index) for s, n in count_pages(count)],
                progress)


def latest(fetch: Fetch, syms: Sequence[Symbol], indices: Sequence[bool], period: Period,
           count: int, progress: Progress | None
           ) -> tuple[frames.Bars, npt.NDArray[Any], dict[Symbol, BaseException]]:
    """The latest `count` bars of every security (`indices`: which are indices), every page
    in one batch: the bars, the rows of each security and the failed ones. `progress` counts
    securities."""
    import numpy as np
    pages = count_pages(count)
    batch = _run(fetch, period.category, [(s, start, n, ix) for s, ix in zip(syms, indices)
                                          for start, n in pages],
                 in_securities(progress, len(syms)))
    failed: dict[Symbol, BaseException] = {}
    for i, exc in batch.errors():
        failed.setdefault(syms[i // len(pages)], exc)
    rows = batch.rows().reshape(len(syms), len(pages)).sum(axis=1)
    bars = batch.bars()
    if failed:  # rows of a security with a failed page are left out whole
        keep = np.repeat([s not in failed for s in syms], rows)
        bars = bars.rows(keep)
        rows = np.where([s in failed for s in syms], 0, rows)
    return bars, rows, failed


def walk_back(fetch: Fetch, notices: Notices, syms: Sequence[Symbol], period: Period,
              count: int, lo: np.datetime64 | None, hi: np.datetime64 | None,
              progress: Progress | None
              ) -> tuple[dict[Symbol, frames.Bars], dict[Symbol, BaseException]]:
    """Pages back from the latest bar, all securities at once, each until its oldest bar
    reaches `lo` (or, without `lo`, until it has `count` bars up to `hi`), or its history
    ends. Warns where the history ends before `lo`. `progress` counts the securities whose
    paging has ended, after each round of pages."""
    pages: dict[Symbol, list[frames.Bars]] = {s: [] for s in syms}
    have = dict.fromkeys(syms, 0)
    failed: dict[Symbol, BaseException] = {}
    pending = list(syms)
    start = 0
    while pending and start <= MAX_OFFSET:
        batch = _run(fetch, period.category,
                     [(s, start, BAR_PAGE, is_index(s)) for s in pending], None)
        errs = dict(batch.errors())
        fetched = batch.bars()
        ends = batch.rows().cumsum()
        still = []
        for i, sym in enumerate(pending):
            if i in errs:
                failed[sym] = errs[i]
                continue
            page = fetched.rows(slice(ends[i - 1] if i else 0, ends[i]))
            n = len(page)
            pages[sym].append(page)
            times = page.times
            if hi is not None:
                have[sym] += int((times <= hi).sum())
            done = (n < BAR_PAGE or (lo is not None and n and times[0] <= lo)
                    or (lo is None and have[sym] >= count))
            if n < BAR_PAGE and lo is not None and (n == 0 or times[0] > lo) and \
                    (n or len(pages[sym]) > 1):
                oldest = times[0] if n else pages[sym][-2].times[0]
                notices.short((sym, period.name), f"{sym.canonical}: the server's {period} "
                              f"bars go back only to {oldest}")
            if not done:
                still.append(sym)
        pending = still
        start += BAR_PAGE
        if progress is not None:
            progress(len(syms) - len(pending), len(syms))
    return {s: _within(pages[s], is_index(s), count, lo, hi) for s in syms if s not in failed}, \
        failed


def _within(pages: list[frames.Bars], index: bool, count: int, lo: np.datetime64 | None,
            hi: np.datetime64 | None) -> frames.Bars:
    """A security's pages (latest first) as its bars, oldest first, cut to the window."""
    bars = frames.concat(pages[::-1], index)
    times = bars.times
    keep = None
    if lo is not None:
        keep = times >= lo
    if hi is not None:
        keep = (times <= hi) if keep is None else keep & (times <= hi)
    if keep is not None:
        bars = bars.rows(keep)
    if lo is None:
        bars = bars.rows(slice(max(0, len(bars) - count), None))
    return bars
