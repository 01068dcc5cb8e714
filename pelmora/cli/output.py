"""Frames written as an aligned table (for people), CSV or JSON lines (for programs).

CSV and JSON are pandas' own writers. The table is built a column at a time: each column is
turned into text in one pass and padded to its widest cell, wide (CJK) characters counting two
terminal columns (`wcwidth`), so 65,535 rows take a fraction of a second.
"""
from __future__ import annotations

import math
import sys
from typing import IO, TYPE_CHECKING, Any, Literal

if TYPE_CHECKING:
    import pandas as pd

MAX_DECIMALS = 3
MISSING = "-"
GAP = "  "


def display_width(text: str) -> int:
    """Columns a text takes in a terminal: wide (CJK) characters count two."""
    if text.isascii():
        return len(text)
    import wcwidth
    width = wcwidth.wcswidth(text)
    return width if width >= 0 else len(text)  # control characters: one column each


def _flat(frame: pd.DataFrame) -> pd.DataFrame:
    """The frame with a named index (datetime, symbol, ...) as its first columns."""
    names = [n for n in frame.index.names if n is not None]
    return frame.reset_index() if names else frame


def _decimals(values: Any) -> int:
    """Decimals that show every float of a column exactly, at most MAX_DECIMALS: none for a
    column of whole numbers, else at least two (prices read best as 27.50)."""
    import numpy as np
    finite = values[np.isfinite(values)]
    for places in range(MAX_DECIMALS):
        if np.array_equal(np.round(finite, places), finite):
            return 2 if places == 1 else places
    return MAX_DECIMALS


def _date_texts(column: pd.Series, sep: str, missing: str | None = MISSING) -> list[str | None]:
    """ISO texts of a datetime column: the date alone when every value is at midnight, else to
    the minute (or the second when one has seconds)."""
    import numpy as np
    values = column.to_numpy(dtype="datetime64[s]")
    seconds = values.astype(np.int64)
    valid = ~np.isnat(values)
    unit: Literal["D", "m", "s"]
    if not (seconds[valid] % 86400).any():
        unit = "D"
    else:
        unit = "m" if not (seconds[valid] % 60).any() else "s"
    texts = np.datetime_as_string(values, unit=unit)
    return [t.replace("T", sep) if ok else missing
            for t, ok in zip(texts.tolist(), valid.tolist())]


def _texts(column: pd.Series) -> tuple[list[str], bool]:
    """The cells of a column as texts, and whether they are numbers (aligned right)."""
    import numpy as np
    import pandas as pd
    kind = column.dtype.kind
    if kind == "M":
        return [str(t) for t in _date_texts(column, " ")], False
    if kind == "f":
        values = column.to_numpy()
        fmt = f"{{:.{_decimals(values)}f}}".format
        return [fmt(v) if math.isfinite(v) else MISSING for v in values.tolist()], True
    if kind in "iu" and not column.hasnans:
        return [str(v) for v in column.to_numpy().tolist()], True
    missing = pd.isna(column).to_numpy()
    cells = [MISSING if m else str(v) for v, m in zip(column.tolist(), missing.tolist())]
    numeric = kind != "O" and not isinstance(column.dtype, pd.CategoricalDtype)
    return cells, numeric and kind != "b" and bool(np.size(cells))


def _padded(header: str, cells: list[str], right: bool) -> list[str]:
    texts = [header, *cells]
    if all(t.isascii() for t in texts):
        width = max(map(len, texts))
        return [t.rjust(width) if right else t.ljust(width) for t in texts]
    widths = {t: display_width(t) for t in set(texts)}
    width = max(widths.values())
    if right:
        return [" " * (width - widths[t]) + t for t in texts]
    return [t + " " * (width - widths[t]) for t in texts]


def write_table(frame: pd.DataFrame, stream: IO[str]) -> None:
    """Aligned columns under a header line; numbers right-aligned, texts left-aligned."""
    flat = _flat(frame)
    columns = []
    for name in flat.columns:
        cells, right = _texts(flat[name])
        columns.append(_padded(str(name), cells, right))
    if not columns:
        return
    stream.writelines(GAP.join(cells).rstrip() + "\n" for cells in zip(*columns))


def _dates_as_text(frame: pd.DataFrame, sep: str) -> pd.DataFrame:
    """The frame with its datetime columns as ISO text, blank where missing."""
    dates = [name for name in frame.columns if frame[name].dtype.kind == "M"]
    if not dates:
        return frame
    return frame.assign(**{str(name): _date_texts(frame[name], sep, None) for name in dates})


def write_csv(frame: pd.DataFrame, stream: IO[str]) -> None:
    """A header line, then a line a row; dates as in the table."""
    _dates_as_text(_flat(frame), " ").to_csv(stream, index=False, lineterminator="\n")


def write_json(frame: pd.DataFrame, stream: IO[str]) -> None:
    """One JSON object a line, keys in column order, dates as ISO text; NaN becomes null."""
    flat = _dates_as_text(_flat(frame), "T")
    if len(flat):
        # Ten decimals (pandas' default): more would print 43.65 as 43.649999999999999.
        text = flat.to_json(orient="records", lines=True, force_ascii=False)
        stream.write(text if text.endswith("\n") else text + "\n")


def write(frame: pd.DataFrame, fmt: str, stream: IO[str] | None = None) -> None:
    """`frame` as "table", "csv" or "json" on `stream` (standard output by default)."""
    out = stream or sys.stdout
    {"table": write_table, "csv": write_csv, "json": write_json}[fmt](frame, out)
