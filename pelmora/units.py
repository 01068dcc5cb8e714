"""The one way from what a server counts to the units pelmora answers in.

Servers count volumes in lots (a security list's ``volunit`` units each: shares, or bonds for
bonds) and send quote, tick and minute prices in units of the security's last decimal, which a
`pelmora._core` client divides by 100 whatever the decimals. Every volume column of every frame
passes `to_units`, and every such price column `rescale_prices`; the units table in the docs
(docs/units.md) says what comes out.
"""
from __future__ import annotations

import warnings
from typing import Iterable, Sequence, Union

import numpy as np
import numpy.typing as npt

from .exceptions import DataWarning

Floats = npt.NDArray[np.float64]
ArrayLike = Union[float, Sequence[float], npt.NDArray[np.generic]]

# The decimals `pelmora._core` divides quote, tick and minute prices by.
WIRE_DECIMALS = 2
# The packed-number form decodes 00 00 00 00 to 2**-127, not 0; nothing a server counts is
# smaller than this, so anything below is that zero.
PACKED_ZERO = 2.0 ** -100


def to_units(volume: ArrayLike, volunit: ArrayLike) -> Floats:
    """Volumes counted in lots, as float64 in the units a lot holds: `volume` x `volunit`,
    elementwise (`volunit` one number or one per value). Where `volunit` is 0 or NaN (unknown)
    the count stays as it is; the caller says so once (`warn_unknown_lots`)."""
    counts = np.asarray(volume, dtype=np.float64)
    sizes = np.asarray(volunit, dtype=np.float64)
    known = np.isfinite(sizes) & (sizes > 0)
    if known.all():
        return counts * sizes
    return np.where(known, counts * np.where(known, sizes, 1.0), counts)


def warn_unknown_lots(symbols: Iterable[str], stacklevel: int = 2) -> None:
    """One `DataWarning` naming the securities whose lot size is unknown (none: no warning)."""
    names = sorted(set(symbols))
    if not names:
        return
    shown = ", ".join(names[:10]) + (f" and {len(names) - 10} more" if len(names) > 10 else "")
    warnings.warn(f"lot size unknown for {shown}: their volumes are the servers' counts of lots",
                  DataWarning, stacklevel=stacklevel + 1)


def rescale_prices(prices: ArrayLike, decimal_point: ArrayLike) -> Floats:
    """Quote, tick or minute prices as `pelmora._core` decodes them (the wire's integer / 100)
    in the currency: the integer over 10**decimal_point, exactly, elementwise."""
    values = np.asarray(prices, dtype=np.float64)
    points = np.asarray(decimal_point)
    if not np.any(points != WIRE_DECIMALS):
        return values
    return np.rint(values * 10.0 ** WIRE_DECIMALS) / 10.0 ** points


def packed(values: ArrayLike) -> Floats:
    """Numbers of the packed form (quotes' ``amount``), with its encoding of zero made 0.0."""
    out = np.asarray(values, dtype=np.float64)
    tiny = np.abs(out) < PACKED_ZERO
    return np.where(tiny, 0.0, out) if tiny.any() else out
