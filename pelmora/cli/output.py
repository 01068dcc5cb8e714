"""Rows of dicts written as an aligned table (for people), CSV or JSON lines (for programs)."""
import csv
import json
import math
import sys
import unicodedata

MAX_DECIMALS = 3


def display_width(text):
    """Columns a text takes in a terminal: wide (CJK) characters count two."""
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def _decimals(values):
    """Decimals that show every float of a column exactly, at most MAX_DECIMALS: none for a
    column of whole numbers, else at least two (prices read best as 27.50)."""
    best = 0
    for v in values:
        if not math.isfinite(v):
            continue
        while best < MAX_DECIMALS and round(v, best) != v:
            best += 1
    return 2 if best == 1 else best


def _cell_texts(rows, key):
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


def _numeric(rows, key):
    return all(isinstance(r.get(key), (int, float)) and not isinstance(r.get(key), bool)
               for r in rows if r.get(key) is not None)


def write_table(rows, columns, stream):
    """Aligned columns with a header line; numbers right-aligned, texts left-aligned."""
    cells = {key: _cell_texts(rows, key) for key in columns}
    widths = {key: max([display_width(key)] + [display_width(c) for c in cells[key]])
              for key in columns}
    right = {key: _numeric(rows, key) for key in columns}

    def line(texts):
        parts = []
        for key, text in zip(columns, texts):
            pad = " " * (widths[key] - display_width(text))
            parts.append(pad + text if right[key] else text + pad)
        return "  ".join(parts).rstrip()

    stream.write(line(list(columns)) + "\n")
    for i in range(len(rows)):
        stream.write(line([cells[key][i] for key in columns]) + "\n")


def write_csv(rows, columns, stream):
    writer = csv.writer(stream, lineterminator="\n")
    writer.writerow(columns)
    for row in rows:
        writer.writerow(["" if row.get(k) is None else repr(row[k]) if isinstance(row[k], float)
                         else row[k] for k in columns])


def _json_value(v):
    return None if isinstance(v, float) and not math.isfinite(v) else v


def write_json(rows, columns, stream):
    """One JSON object a line, keys in column order; NaN and infinities become null."""
    for row in rows:
        stream.write(json.dumps({k: _json_value(row.get(k)) for k in columns},
                                ensure_ascii=False) + "\n")


def write(rows, columns, fmt, stream=None):
    stream = stream or sys.stdout
    {"table": write_table, "csv": write_csv, "json": write_json}[fmt](rows, columns, stream)


class Progress:
    """A progress bar on standard error, drawn only when that is a terminal."""

    def __init__(self, what, total=0, stream=None):
        self.stream = stream or sys.stderr
        self.total, self.what = total, what
        self.active = self.stream.isatty()
        self.drawn = False

    def update(self, done):
        if self.active and self.total:
            self.drawn = True
            width = 30
            filled = width * min(done, self.total) // self.total
            self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] "
                              f"{min(done, self.total)}/{self.total} {self.what}")
            self.stream.flush()

    def close(self):
        if self.drawn:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
