"""Ticks and minute series of one day as frames. Neither carries its date, and the minute
series carries no times either: the frames attach them."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Sequence

from ..dates import DateLike, bound
from ..fetch import TableQuery
from ..limits import MAX_OFFSET, TRANSACTION_PAGE

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pandas as pd

# Ticks a request asks for (a name of its own, so that a test can page by fewer).
TICK_PAGE = TRANSACTION_PAGE
TICK_COLUMNS = ("price", "vol", "num", "buyorsell")
MINUTE_COLUMNS = ("price", "vol")
SESSION_MINUTES = 240


def session_times() -> npt.NDArray[np.timedelta64]:
    """The minutes of a session, each at its end: 09:31 ... 11:30, 13:01 ... 15:00."""
    import numpy as np
    morning = np.arange(9 * 60 + 31, 11 * 60 + 31)
    afternoon = np.arange(13 * 60 + 1, 15 * 60 + 1)
    out: npt.NDArray[np.timedelta64] = (np.concatenate([morning, afternoon]) * 60).astype("m8[s]")
    return out


def _index(day: np.datetime64, seconds: Any) -> pd.DatetimeIndex:
    import numpy as np
    import pandas as pd
    times = day.astype("M8[s]") + np.asarray(seconds).astype("m8[s]")
    return pd.DatetimeIndex(times, name="datetime")


def tick_pages(run: Callable[[list[TableQuery]], Any], market: int,
               code: str, number: int, width: int) -> list[dict[str, Any]]:
    """The tick pages of a day, latest first: the latest page, then `width` pages at a time
    further back, until a page comes back short. `run` runs a batch and raises its first
    failure."""
    page = TICK_PAGE
    pages: list[dict[str, Any]] = []
    start, ask = 0, 1
    while start <= MAX_OFFSET:
        starts = range(start, min(start + ask * page, MAX_OFFSET + 1), page)
        batch = run([TableQuery(market, code, s, page, number) for s in starts])
        data, edges = batch.columns(TICK_COLUMNS + ("minute",)), batch.bounds()
        pages += [{n: c[edges[k]:edges[k + 1]] for n, c in data.items()}
                  for k in range(len(starts))]
        if (batch.rows() < page).any():
            break
        start, ask = starts[-1] + page, width
    return pages


def tick_frame(pages: Sequence[dict[str, Any]], day: np.datetime64, history: bool,
               scale: Callable[[dict[str, Any]], dict[str, Any]]) -> pd.DataFrame:
    """The ticks of a day from its pages, latest page first (each page in time order): index
    the day plus the tick's hour and minute (not unique), in server order; ``seq`` numbers
    them within the day. A past day's ticks have no ``num``. `scale` puts the columns in the
    frames' units."""
    import numpy as np
    import pandas as pd
    names = [n for n in TICK_COLUMNS if not (history and n == "num")]
    data = {n: np.concatenate([p[n] for p in reversed(pages)]) for n in names + ["minute"]}
    data = scale(data)
    minutes = data.pop("minute")
    data["seq"] = np.arange(len(minutes), dtype=np.int64)
    return pd.DataFrame(data, index=_index(day, minutes * 60), columns=names + ["seq"])


def minute_frame(data: dict[str, Any], day: np.datetime64) -> pd.DataFrame:
    """The minute series of a day: index the day's minute times (the first n of the session
    for a series of n minutes, a day still trading); columns ``price``, ``vol``."""
    import pandas as pd
    n = len(data["price"])
    if n > SESSION_MINUTES:
        raise ValueError(f"the server sent {n} minutes, more than a session's "
                         f"{SESSION_MINUTES}")
    return pd.DataFrame(data, index=_index(day, session_times()[:n]),
                        columns=list(MINUTE_COLUMNS))


def day_number(day: np.datetime64) -> int:
    """YYYYMMDD of a day, as the history requests take it."""
    text = str(day)
    return int(text[:4] + text[5:7] + text[8:10])


def history_day(date: DateLike) -> tuple[np.datetime64, int]:
    """The day of a past date, and its number as the history requests take it."""
    when = bound(date, "date", False)
    assert when is not None
    day = when.astype("M8[D]")
    return day, day_number(day)
