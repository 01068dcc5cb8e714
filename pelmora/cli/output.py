"""Frames written as an aligned table (for people), CSV or JSON lines (for programs).

Every cell is turned into text once, a column at a time (`cells`), and the three writers set
the same texts down, so a number reads alike in all three: whole numbers as integers, other
floats with one number of decimals a column, the fewest that give each of its values to seven
significant digits (so 31.770000000000003 is 31.77, and a 32-bit figure's float noise goes
too), at least two when any are needed (prices read best as 27.50). A missing value is "-" in
the table, an empty field in CSV and null in JSON. The table pads each column to its widest
cell, wide (CJK) characters counting two terminal columns (`wcwidth`), so 65,535 rows take a
fraction of a second.
"""
from __future__ import annotations

import csv
import json
import sys
from typing import IO, TYPE_CHECKING, Any, Literal, NamedTuple, Optional

if TYPE_CHECKING:
    import pandas as pd

MAX_DECIMALS = 10
# A value is shown exactly enough when its text is off by at most this part of it: seven
# significant digits, as many as the servers' 32-bit figures carry.
PRECISION = 5e-7
MISSING = "-"
GAP = "  "


class Column(NamedTuple):
    """A column's cells as texts (None where missing) and how they are written: "number"
    (right-aligned, bare in JSON), "literal" (true or false: bare in JSON) or "text"."""
    texts: list[Optional[str]]
    kind: Literal["number", "literal", "text"]


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


def rounded(values: Any) -> tuple[Any, int]:
    """The values of a float column each rounded to the fewest decimals that give it to
    PRECISION (at most MAX_DECIMALS), and the decimals the column is written with: the most
    any value needs, none for whole numbers, else at least two."""
    import numpy as np
    out = values.copy()
    todo = np.isfinite(values)
    most = 0
    for places in range(MAX_DECIMALS + 1):
        if not todo.any():
            break
        near = np.round(values[todo], places)
        ok = np.abs(near - values[todo]) <= np.abs(values[todo]) * PRECISION
        if places == MAX_DECIMALS:
            ok[:] = True
        if ok.any():
            at = np.flatnonzero(todo)[ok]
            out[at] = near[ok]
            todo[at] = False
            most = places
    return out, 2 if most == 1 else most


def _date_texts(column: pd.Series, sep: str) -> list[Optional[str]]:
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
    return [t.replace("T", sep) if ok else None for t, ok in zip(texts.tolist(), valid.tolist())]


def _float_texts(values: Any) -> list[Optional[str]]:
    import numpy as np
    near, places = rounded(values)
    fmt = f"{{:.{places}f}}".format
    out: list[Optional[str]] = []
    for v, ok in zip(near.tolist(), np.isfinite(values).tolist()):
        text = fmt(v) if ok else None
        # a small negative value rounded to nothing reads 0.00, not -0.00
        out.append(text[1:] if text and text[0] == "-" and not text.strip("-0.") else text)
    return out


def cells(column: pd.Series, date_sep: str = " ") -> Column:
    """The cells of a column as texts; datetimes as ISO text joined by `date_sep`."""
    import numpy as np
    import pandas as pd
    kind = column.dtype.kind
    if kind == "M":
        return Column(_date_texts(column, date_sep), "text")
    missing = pd.isna(column).to_numpy()
    if kind == "b":
        return Column([None if m else "true" if v else "false"
                       for v, m in zip(column.tolist(), missing.tolist())], "literal")
    if kind in "iu":  # numpy's integers, or pandas' nullable ones with missing values
        return Column([None if m else str(v) for v, m in zip(column.tolist(), missing.tolist())],
                      "number")
    if kind == "f":
        return Column(_float_texts(column.to_numpy(dtype=np.float64, na_value=np.nan)),
                      "number")
    if kind == "O" and not missing.all() and not isinstance(column.dtype, pd.CategoricalDtype):
        present = column[~missing]
        first = present.iloc[0]
        if isinstance(first, (int, float, np.number)) and present.map(lambda v: isinstance(v, (int, float, np.number))
                       and not isinstance(v, (bool, np.bool_))).all():
            # numbers in an object column (an SQL result with missing values)
            return cells(pd.to_numeric(column), date_sep)
    return Column([None if m else str(v) for v, m in zip(column.tolist(), missing.tolist())],
                  "text")


def _columns(frame: pd.DataFrame, date_sep: str) -> tuple[list[str], list[Column]]:
    flat = _flat(frame)
    names = [str(n) for n in flat.columns]
    return names, [cells(flat.iloc[:, i], date_sep) for i in range(len(names))]


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
    names, columns = _columns(frame, " ")
    if not columns:
        return
    padded = [_padded(name, [MISSING if t is None else t for t in c.texts],
                      c.kind == "number" and bool(c.texts))
              for name, c in zip(names, columns)]
    stream.writelines(GAP.join(row).rstrip() + "\n" for row in zip(*padded))


def write_csv(frame: pd.DataFrame, stream: IO[str]) -> None:
    """A header line, then a line a row; missing values are empty fields."""
    names, columns = _columns(frame, " ")
    out = csv.writer(stream, lineterminator="\n")
    out.writerow(names)
    out.writerows(zip(*(["" if t is None else t for t in c.texts] for c in columns)))


def write_json(frame: pd.DataFrame, stream: IO[str]) -> None:
    """One JSON object a line, keys in column order, dates as ISO text; missing is null."""
    names, columns = _columns(frame, "T")
    keys = [json.dumps(n, ensure_ascii=False) + ":" for n in names]

    def values(c: Column) -> list[str]:
        if c.kind == "text":
            return ["null" if t is None else json.dumps(t, ensure_ascii=False) for t in c.texts]
        return ["null" if t is None else t for t in c.texts]
    rows = zip(*(values(c) for c in columns))
    stream.writelines("{" + ",".join(k + v for k, v in zip(keys, row)) + "}\n" for row in rows)


def write(frame: pd.DataFrame, fmt: str, stream: IO[str] | None = None) -> None:
    """`frame` as "table", "csv" or "json" on `stream` (standard output by default)."""
    out = stream or sys.stdout
    {"table": write_table, "csv": write_csv, "json": write_json}[fmt](frame, out)
