"""Rows of dicts written as an aligned table (for people), CSV or JSON lines (for programs)."""
from __future__ import annotations

import csv
import json
import math
import sys
import unicodedata
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import IO, Any

Rows = Sequence[Mapping[str, Any]]
Columns = Sequence[str]

MAX_DECIMALS = 3


def display_width(text: str) -> int:
    """Columns a text takes in a terminal: wide (CJK) characters count two."""
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def _decimals(values: Iterable[float]) -> int:
    """Decimals that show every float of a column exactly, at most MAX_DECIMALS: none for a
    column of whole numbers, else at least two (prices read best as 27.50)."""
    best = 0
    for v in values:
        if not math.isfinite(v):
            continue
        while best < MAX_DECIMALS and round(v, best) != v:
            best += 1
    return 2 if best == 1 else best


def _cell_texts(rows: Rows, key: str) -> list[str]:
    values = [row.get(key) for row in rows]
    floats = [v for v in values if isinstance(v, float)]
    places = _decimals(floats)
    out = []
    for v in values:
        if v is None:
            out.append("-")
        elif isinstance(v, float):
            out.append(f"{v:.{places}f}" if math.isfinite(v) else str(v))
        else:
            out.append(str(v))
    return out


def _numeric(rows: Rows, key: str) -> bool:
    return all(isinstance(r.get(key), (int, float)) and not isinstance(r.get(key), bool)
               for r in rows if r.get(key) is not None)


def write_table(rows: Rows, columns: Columns, stream: IO[str]) -> None:
    """Aligned columns with a header line; numbers right-aligned, texts left-aligned."""
    cells = {key: _cell_texts(rows, key) for key in columns}
    widths = {key: max([display_width(key)] + [display_width(c) for c in cells[key]])
              for key in columns}
    right = {key: _numeric(rows, key) for key in columns}

    def line(texts: Sequence[str]) -> str:
        parts = []
        for key, text in zip(columns, texts):
            pad = " " * (widths[key] - display_width(text))
            parts.append(pad + text if right[key] else text + pad)
        return "  ".join(parts).rstrip()

    stream.write(line(list(columns)) + "\n")
    for i in range(len(rows)):
        stream.write(line([cells[key][i] for key in columns]) + "\n")


def write_csv(rows: Rows, columns: Columns, stream: IO[str]) -> None:
    writer = csv.writer(stream, lineterminator="\n")
    writer.writerow(columns)
    for row in rows:
        writer.writerow(["" if row.get(k) is None else repr(row[k]) if isinstance(row[k], float)
                         else row[k] for k in columns])


def _json_value(v: object) -> object:
    return None if isinstance(v, float) and not math.isfinite(v) else v


def write_json(rows: Rows, columns: Columns, stream: IO[str]) -> None:
    """One JSON object a line, keys in column order; NaN and infinities become null."""
    for row in rows:
        stream.write(json.dumps({k: _json_value(row.get(k)) for k in columns},
                                ensure_ascii=False) + "\n")


WRITERS: dict[str, Callable[[Rows, Columns, IO[str]], None]] = {
    "table": write_table, "csv": write_csv, "json": write_json}


def write(rows: Rows, columns: Columns, fmt: str, stream: IO[str] | None = None) -> None:
    WRITERS[fmt](rows, columns, stream or sys.stdout)


class Progress:
    """A progress bar on standard error, drawn only when that is a terminal."""

    def __init__(self, what: str, total: int = 0, stream: IO[str] | None = None) -> None:
        self.stream = stream or sys.stderr
        self.total, self.what = total, what
        self.active = self.stream.isatty()
        self.drawn = False

    def update(self, done: int) -> None:
        if self.active and self.total:
            self.drawn = True
            width = 30
            filled = width * min(done, self.total) // self.total
            self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] "
                              f"{min(done, self.total)}/{self.total} {self.what}")
            self.stream.flush()

    def close(self) -> None:
        if self.drawn:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
