"""pelmora.testing._minutes — the simulated market's intraday bars and ticks, compiled"""

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

Column = npt.NDArray[np.int64] | npt.NDArray[np.float64]

def intraday_bars(key: int, days: Sequence[Column], minutes: int, skip: int,
                  out: Sequence[Column]) -> None: ...
def day_ticks(key: int, day: int, minutes: Sequence[npt.NDArray[np.int64]],
              out: Sequence[npt.NDArray[np.int64]]) -> None: ...
