"""Columns of the engine as pandas DataFrames, without copying them.

The engine decodes bars into one array of times and one block of values, column after column;
numpy sees both through the buffer protocol and pandas takes the block whole as the frame's
values (``copy=False``), so a frame's columns are the engine's memory, kept alive by the
arrays that refer to it. Building a frame from one 2-D block costs about a third of building it
from separate columns.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Sequence

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pandas as pd

PRICE_COLUMNS = ("open", "high", "low", "close", "volume", "amount")
INDEX_COLUMNS = ("up_count", "down_count")


class Bars:
    """Times (datetime64[s]) and a block of values, one row per value column."""

    __slots__ = ("times", "values")

    def __init__(self, times: npt.NDArray[Any], values: npt.NDArray[Any]) -> None:
        self.times = times
        self.values = values

    def __len__(self) -> int:
        return len(self.times)

    @property
    def index(self) -> bool:
        return len(self.values) == len(PRICE_COLUMNS) + len(INDEX_COLUMNS)

    def rows(self, keep: Any) -> Bars:
        return Bars(self.times[keep], self.values[:, keep])


def empty(index: bool) -> Bars:
    import numpy as np
    width = len(PRICE_COLUMNS) + (len(INDEX_COLUMNS) if index else 0)
    return Bars(np.empty(0, dtype="M8[s]"), np.empty((width, 0)))


def _widened(values: npt.NDArray[Any], width: int) -> npt.NDArray[Any]:
    """`values` with `width` rows: index counts added as NaN, or dropped (the stock pages of a
    batch that also held index bars carry them as NaN)."""
    import numpy as np
    if len(values) >= width:
        return values[:width]
    return np.vstack([values, np.full((width - len(values), values.shape[1]), np.nan)])


def concat(parts: Sequence[Bars], index: bool) -> Bars:
    """Bars one after the other (a copy: pages fetched in turn); securities without index
    counts get NaN for them when `index` is set."""
    import numpy as np
    if not parts:
        return empty(index)
    if len(parts) == 1 and parts[0].index == index:
        return parts[0]
    width = len(PRICE_COLUMNS) + (len(INDEX_COLUMNS) if index else 0)
    values = [_widened(p.values, width) for p in parts]
    return Bars(np.concatenate([p.times for p in parts]), np.concatenate(values, axis=1))


_column_labels: dict[bool, pd.Index] = {}


def _labels(index: bool) -> pd.Index:
    """The column labels, built once: an Index is immutable, and building one infers its
    dtype from the names each time."""
    if index not in _column_labels:
        import pandas as pd
        _column_labels[index] = pd.Index(PRICE_COLUMNS + (INDEX_COLUMNS if index else ()))
    return _column_labels[index]


def _frame(bars: Bars) -> pd.DataFrame:
    import pandas as pd
    idx = pd.DatetimeIndex(bars.times, name="datetime", copy=False)
    return pd.DataFrame(bars.values.T, index=idx, columns=_labels(bars.index), copy=False)


def bars_frame(bars: Bars) -> pd.DataFrame:
    """The frame of one security: a DatetimeIndex named datetime, float64 columns."""
    return _frame(bars)


def long_frame(bars: Bars, symbols: Sequence[str], rows: Sequence[int]) -> pd.DataFrame:
    """The frame of many securities, one after the other: `rows[i]` rows of `symbols[i]`,
    named in a categorical ``symbol`` column, the first."""
    import numpy as np
    import pandas as pd
    n = len(symbols)
    # Codes in the width pandas keeps for n categories (it would convert others, a copy), in
    # range by construction: from_codes need not check them again.
    width = np.int8 if n < 127 else np.int16 if n < 32767 else np.int32
    codes = np.repeat(np.arange(n, dtype=width), rows)
    # Categories from an Index of str: a list would be converted to one anyway, at twice the
    # cost.
    categories = pd.CategoricalDtype(pd.Index(list(symbols), dtype="str"))
    symbol = pd.Categorical.from_codes(codes, dtype=categories, validate=False)
    frame = _frame(bars)
    # A Series on the frame's own index goes in as it is; a bare array would be copied.
    frame.insert(0, "symbol", pd.Series(symbol, index=frame.index))
    return frame


def insert_types(frame: pd.DataFrame, types: Sequence[str]) -> None:
    """Adds the categorical ``type`` column after ``symbol`` to a long frame: `types[i]` is
    the type of its i-th ``symbol`` category."""
    import numpy as np
    import pandas as pd
    from .instruments import TYPES, type_dtype
    per_symbol = np.array([TYPES.index(t) for t in types], dtype=np.int8)
    codes = per_symbol[frame["symbol"].cat.codes.to_numpy()] if len(per_symbol) else \
        np.zeros(len(frame), dtype=np.int8)
    column = pd.Categorical.from_codes(codes, dtype=type_dtype(), validate=False)
    frame.insert(frame.columns.get_loc("symbol") + 1, "type",
                 pd.Series(column, index=frame.index))
