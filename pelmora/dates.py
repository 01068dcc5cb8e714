"""Dates and times as callers give them, read by one rule everywhere: `YYYYMMDD` integers,
year-first ISO text, `datetime`, `date`, numpy and pandas values. A day-first or month-first
text such as "1/6/2025" would be a guess, so it is refused, though pandas would guess."""
from __future__ import annotations

import datetime as _dt
import re
from typing import TYPE_CHECKING, Union

if TYPE_CHECKING:
    import numpy as np
    import pandas as pd

DateLike = Union[str, int, _dt.date, "pd.Timestamp", "np.datetime64"]

# Dates as text: the year first, then perhaps month and day (dashes or slashes between, or
# nothing: 20250610), then perhaps a time. A day-first or month-first form ("1/6/2025") would
# be a guess: refused.
_DATE_TEXT = re.compile(r"\d{4}(?:([-/])\d{1,2}(?:\1\d{1,2})?|\d{4})?"
                        r"(?:[ T]\d{1,2}:\d{2}(?::\d{2}(?:\.\d+)?)?)?")


def bound(value: DateLike | None, name: str, end: bool) -> np.datetime64 | None:
    """A bound as datetime64[s]; an end given as a date alone takes in that whole day. Text
    is ISO-like, year first ("2025-06-10", "2025/06/10", "20250610", "2025-06-10 14:30");
    an integer is a YYYYMMDD date, as `TdxClient` takes them."""
    if value is None:
        return None
    import numpy as np
    import pandas as pd
    given = value
    day_only = isinstance(value, _dt.date) and not isinstance(value, _dt.datetime)
    if isinstance(value, str):
        value = value.strip()
        if not _DATE_TEXT.fullmatch(value):
            raise ValueError(f"invalid {name} {value!r}: expected a date such as 2025-06-10 "
                             f"(year first), perhaps with a time (2025-06-10 14:30)")
        day_only = len(value) <= 10
    elif isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        if not 10000101 <= value <= 99991231:
            raise ValueError(f"invalid {name} {value!r}: an integer date is YYYYMMDD, such as "
                             f"20250610")
        value, day_only = str(int(value)), True
    elif isinstance(value, (bool, float, np.floating)):
        raise ValueError(f"invalid {name} {value!r}: expected a date, not a number")
    try:
        ts = pd.Timestamp(value)
    except (ValueError, TypeError) as exc:
        raise ValueError(f"invalid {name} {given!r}: {exc}") from None
    if ts is pd.NaT:
        raise ValueError(f"invalid {name} {given!r}: not a date")
    if ts.tzinfo is not None:
        raise ValueError(f"invalid {name} {given!r}: bar times are naive exchange-local times")
    out = np.datetime64(ts.to_datetime64(), "s")
    if end and day_only:
        out = out + np.timedelta64(86399, "s")
    return out
