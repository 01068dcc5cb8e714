"""Columns of the engine as pandas DataFrames, without copying the columns.

The engine decodes bars into one array per field; numpy sees each through the buffer protocol
and pandas is handed those arrays with ``copy=False``, so a frame's columns are the engine's
memory (kept alive by the arrays that refer to it).
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Sequence

if TYPE_CHECKING:
    import numpy as np
    import pandas as pd

PRICE_COLUMNS = ("open", "high", "low", "close", "volume", "amount")
INDEX_COLUMNS = ("up_count", "down_count")


def batch_columns(batch: Any) -> dict[str, np.ndarray]:
    """Every column of an engine batch as a numpy array over the engine's memory; the bar
    times as datetime64[s]."""
    import numpy as np
    names = ("datetime",) + PRICE_COLUMNS + (INDEX_COLUMNS if batch.index else ())
    out = {name: np.frombuffer(batch.column(name), dtype=np.float64) for name in names[1:]}
    out["datetime"] = np.frombuffer(batch.column("datetime"), dtype=np.int64).view("M8[s]")
    return out


def request_rows(batch: Any) -> np.ndarray:
    """Rows each request of the batch gave, in request order."""
    import numpy as np
    return np.frombuffer(batch.column("counts"), dtype=np.int64)


def empty_columns(index: bool) -> dict[str, np.ndarray]:
    import numpy as np
    names = PRICE_COLUMNS + (INDEX_COLUMNS if index else ())
    out = {name: np.empty(0, dtype=np.float64) for name in names}
    out["datetime"] = np.empty(0, dtype="M8[s]")
    return out


def bars_frame(columns: dict[str, np.ndarray], index: bool) -> pd.DataFrame:
    """The frame of one security: a DatetimeIndex named datetime, float64 columns."""
    import pandas as pd
    names = PRICE_COLUMNS + (INDEX_COLUMNS if index else ())
    idx = pd.DatetimeIndex(columns["datetime"], name="datetime", copy=False)
    return pd.DataFrame({name: columns[name] for name in names}, index=idx, copy=False)


def long_frame(columns: dict[str, np.ndarray], symbols: Sequence[str], rows: Sequence[int],
               index: bool) -> pd.DataFrame:
    """The frame of many securities, one after the other: `rows[i]` rows of `symbols[i]`,
    named in a categorical ``symbol`` column."""
    import numpy as np
    import pandas as pd
    codes = np.repeat(np.arange(len(symbols), dtype=np.int32), rows)
    symbol = pd.Categorical.from_codes(codes, categories=list(symbols))
    names = PRICE_COLUMNS + (INDEX_COLUMNS if index else ())
    data: dict[str, Any] = {"symbol": symbol}
    data.update((name, columns[name]) for name in names)
    idx = pd.DatetimeIndex(columns["datetime"], name="datetime", copy=False)
    return pd.DataFrame(data, index=idx, copy=False)


def concat_columns(parts: Sequence[dict[str, np.ndarray]], index: bool) -> dict[str, np.ndarray]:
    """Columns of several pages one after the other (a copy: pages fetched in turn)."""
    import numpy as np
    if not parts:
        return empty_columns(index)
    if len(parts) == 1:
        return parts[0]
    names = ("datetime",) + PRICE_COLUMNS + (INDEX_COLUMNS if index else ())
    return {name: np.concatenate([p[name] for p in parts]) for name in names}


def select_rows(columns: dict[str, np.ndarray], keep: Any) -> dict[str, np.ndarray]:
    return {name: values[keep] for name, values in columns.items()}
