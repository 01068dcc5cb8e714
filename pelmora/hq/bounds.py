"""The window of bars a call asks for: the latest `count`, or the bars between `start` and
`end`."""
from __future__ import annotations

from typing import TYPE_CHECKING

from ..dates import DateLike, bound
from ..limits import BAR_PAGE, MAX_BARS

if TYPE_CHECKING:
    import numpy as np

DEFAULT_COUNT = BAR_PAGE


def bar_bounds(count: int | None, start: DateLike | None, end: DateLike | None
               ) -> tuple[int, np.datetime64 | None, np.datetime64 | None]:
    """The count (default 800) and the bounds as datetime64[s]: ValueError for a count out of
    range, both a count and a start, or an end before the start."""
    if count is not None and start is not None:
        raise ValueError("give count or start, not both")
    if count is None:
        count = DEFAULT_COUNT
    if isinstance(count, bool) or not isinstance(count, int) or not 0 < count <= MAX_BARS:
        raise ValueError(f"count must be an integer from 1 to {MAX_BARS:,}, not {count!r}")
    lo, hi = bound(start, "start", False), bound(end, "end", True)
    if lo is not None and hi is not None and hi < lo:
        raise ValueError(f"end {end!r} is before start {start!r}")
    return count, lo, hi
