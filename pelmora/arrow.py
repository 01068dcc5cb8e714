"""Bars as Arrow columns: polars, pyarrow and DuckDB take them without pandas.

`ArrowBars` holds a long frame's columns as the library made them, numpy arrays over the
engine's memory wherever the library did not change a value, and hands them out through the
Arrow C stream interface (``__arrow_c_stream__``): ``pl.DataFrame(bars)``, ``pa.table(bars)``
and ``duckdb.sql("select * from bars")`` read those buffers where they lie. The stream comes in
record batches of at most `CHUNK_ROWS` rows, so a whole market flows to a consumer that reads
batch by batch. Nothing here imports pandas, except `ArrowBars.df` and `ArrowBars.from_frame`.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Literal, Optional, Sequence

from .frames import INDEX_COLUMNS, PRICE_COLUMNS

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pandas as pd

    from ._engine import ArrowKind

    # One column for the exporter: (name, kind, data, dictionary).
    Column = tuple[str, ArrowKind, Any, Optional[Sequence[str]]]

Output = Literal["pandas", "arrow", "polars", "pyarrow"]
OUTPUTS = ("pandas", "arrow", "polars", "pyarrow")
# Rows per record batch of the stream: 512 KiB a float column, a few batches a market's day.
CHUNK_ROWS = 1 << 16


def check_output(output: str) -> None:
    if output not in OUTPUTS:
        raise ValueError(f"output must be one of {', '.join(map(repr, OUTPUTS))}, "
                         f"not {output!r}")


class ArrowBars:
    """Bars of many securities as Arrow columns, in the order of the long frame: ``datetime``
    (timestamp[s]), ``symbol`` and ``type`` (dictionary-encoded), then the float64 value
    columns. `df`, `pl` and `arrow` give it as pandas, polars and pyarrow frames; ``attrs``
    holds what the pandas frame's ``attrs`` would."""

    __slots__ = ("_columns", "_frame", "_table", "attrs")

    def __init__(self, columns: Sequence[Column], attrs: Optional[dict[str, Any]] = None,
                 frame: Optional[pd.DataFrame] = None) -> None:
        self._columns = list(columns)
        self._frame = frame
        self._table: Any = None
        self.attrs: dict[str, Any] = dict(attrs or {})

    @classmethod
    def from_frame(cls, frame: pd.DataFrame) -> ArrowBars:
        """The columns of a long frame (one pandas made already: adjusted bars)."""
        import numpy as np
        import pandas as pd
        times = np.asarray(frame.index.values).astype("M8[s]").view(np.int64)
        columns: list[Column] = [("datetime", "timestamp[s]", times, None)]
        for name in frame.columns:
            series = frame[name]
            if isinstance(series.dtype, pd.CategoricalDtype):
                codes = np.ascontiguousarray(series.cat.codes.to_numpy())
                columns.append((name, "dictionary", codes,
                                [str(c) for c in series.cat.categories]))
            else:
                columns.append((name, "float64",
                                np.ascontiguousarray(series.to_numpy(dtype=np.float64)), None))
        return cls(columns, frame.attrs, frame)

    def _exported(self) -> Any:
        if self._table is None:
            from . import _engine
            self._table = _engine.ArrowTable(self._columns, CHUNK_ROWS)
        return self._table

    def __arrow_c_schema__(self) -> object:
        return self._exported().__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        return self._exported().__arrow_c_stream__(requested_schema)

    def __arrow_c_array__(self, requested_schema: object = None) -> tuple[object, object]:
        """All rows as one struct array (``pa.record_batch(bars)``), for consumers that take
        arrays rather than streams."""
        return self._exported().__arrow_c_array__(requested_schema)  # type: ignore[no-any-return]

    def __len__(self) -> int:
        return len(self._columns[0][2])

    def __repr__(self) -> str:
        return f"<ArrowBars: {len(self)} rows, columns {', '.join(self.column_names)}>"

    @property
    def column_names(self) -> list[str]:
        return [c[0] for c in self._columns]

    def column(self, name: str) -> Any:
        """A column's data as it is exported: a numpy array (int64 seconds for ``datetime``,
        the codes of a dictionary-encoded column)."""
        for column in self._columns:
            if column[0] == name:
                return column[2]
        raise KeyError(name)

    def arrow(self) -> Any:
        """A pyarrow Table over the same memory."""
        import pyarrow as pa
        return pa.table(self)

    def pl(self) -> Any:
        """A polars DataFrame over the same memory (a datetime in seconds converted: polars
        keeps none)."""
        import polars as pl
        return pl.DataFrame(self)

    def df(self) -> pd.DataFrame:
        """The pandas long frame, as ``output="pandas"`` gives it."""
        if self._frame is None:
            self._frame = _long_frame(self._columns, self.attrs)
        return self._frame


def _long_frame(columns: Sequence[Column], attrs: dict[str, Any]) -> pd.DataFrame:
    import numpy as np
    import pandas as pd
    from .instruments import type_dtype
    (_, kind, times, _), rest = columns[0], columns[1:]
    times = np.asarray(times).view(f"M8[{time_unit(kind)}]").astype("M8[s]", copy=False)
    index = pd.DatetimeIndex(times, name="datetime", copy=False)
    data: dict[str, Any] = {}
    for name, kind, values, dictionary in rest:
        if kind == "dictionary":
            assert dictionary is not None
            dtype = type_dtype() if name == "type" else \
                pd.CategoricalDtype(pd.Index(list(dictionary), dtype="str"))
            data[name] = pd.Categorical.from_codes(values, dtype=dtype, validate=False)
        else:
            data[name] = np.asarray(values)
    frame = pd.DataFrame(data, index=index)
    frame.attrs.update(attrs)
    return frame


def deliver(bars: ArrowBars, output: str) -> Any:
    """`bars`, made for this call and seen by nothing else, in the form `output` names (see
    `OUTPUTS`)."""
    if output == "arrow":
        return bars
    if output == "polars":
        _to_milliseconds(bars)
        return bars.pl()
    if output == "pyarrow":
        return bars.arrow()
    return bars.df()


def _to_milliseconds(bars: ArrowBars) -> None:
    """Turns the seconds of `bars`' datetime into milliseconds where they lie, for polars,
    which keeps no seconds: it then takes the column as it is instead of converting it into a
    copy of its own. Missing times (NaT) stay missing."""
    import numpy as np
    name, kind, times, dictionary = bars._columns[0]
    if kind != "timestamp[s]":
        return
    times = np.asarray(times).view(np.int64)
    np.multiply(times, 1000, out=times, where=times != np.iinfo(np.int64).min)
    bars._columns[0] = (name, "timestamp[ms]", times, dictionary)


def symbol_codes(rows: Sequence[int] | npt.NDArray[np.int64]) -> npt.NDArray[Any]:
    """The codes of a dictionary-encoded ``symbol`` column: `rows[i]` rows of the i-th, in
    the narrowest width that holds them."""
    import numpy as np
    n = len(rows)
    width = np.int8 if n < 127 else np.int16 if n < 32767 else np.int32
    return np.repeat(np.arange(n, dtype=width), rows)


def time_unit(kind: str) -> str:
    """The unit of a timestamp kind: ``"s"`` of ``"timestamp[s]"``."""
    return kind[len("timestamp["):-1]


def long_bars(times: Any, values: dict[str, Any], symbols: Sequence[str],
              rows: Sequence[int] | npt.NDArray[np.int64], types: Sequence[str],
              attrs: Optional[dict[str, Any]] = None,
              unit: Literal["s", "ms"] = "s") -> ArrowBars:
    """The bars of many securities, one after the other (`rows[i]` rows of `symbols[i]`, of
    type `types[i]`): `times` as int64 counts of `unit` (``"s"``, or ``"ms"`` for times read
    for polars) or datetime64 of it, `values` the value columns by name (index counts only
    where given), each a 1-D contiguous array."""
    import numpy as np
    from .instruments import TYPES
    codes = symbol_codes(rows)
    kinds = np.repeat(np.array([TYPES.index(t) for t in types], dtype=np.int8), rows)
    counts = times.view(np.int64) if times.dtype.kind == "M" else times
    time_kind: ArrowKind = "timestamp[ms]" if unit == "ms" else "timestamp[s]"
    columns: list[Column] = [("datetime", time_kind, counts, None),
                             ("symbol", "dictionary", codes, list(symbols)),
                             ("type", "dictionary", kinds, list(TYPES))]
    for name in PRICE_COLUMNS + INDEX_COLUMNS:
        if name in values:
            columns.append((name, "float64", values[name], None))
    return ArrowBars(columns, attrs)


def block_columns(values: npt.NDArray[Any]) -> dict[str, Any]:
    """The value columns of a block of rows (`frames.Bars.values`), each a view of its row."""
    import numpy as np
    names = PRICE_COLUMNS + (INDEX_COLUMNS if len(values) > len(PRICE_COLUMNS) else ())
    # A row of a C-ordered block is contiguous already: ascontiguousarray copies nothing.
    return {name: np.ascontiguousarray(values[i]) for i, name in enumerate(names)}
