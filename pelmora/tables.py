"""Tables of the engine (securities, quotes, ex-rights, finance, ticks, minutes) as numpy
columns: numeric columns are views of the engine's memory, text columns lists of str."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Sequence

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt


def columns(batch: Any, names: Sequence[str]) -> dict[str, Any]:
    """The named columns of every row of the batch, request after request: float64 and int64
    arrays over the engine's memory, lists of str for text."""
    import numpy as np
    out: dict[str, Any] = {}
    for name in names:
        column = batch.column(name)
        out[name] = column if isinstance(column, list) else np.asarray(column)
    return out


def counts(batch: Any) -> npt.NDArray[np.int64]:
    """Rows each request gave, in request order (0 for a failed one)."""
    import numpy as np
    return np.asarray(batch.counts())


def bounds(batch: Any) -> npt.NDArray[np.int64]:
    """Request i's rows are [bounds[i], bounds[i + 1])."""
    import numpy as np
    return np.concatenate([np.zeros(1, dtype=np.int64), np.cumsum(counts(batch))])
