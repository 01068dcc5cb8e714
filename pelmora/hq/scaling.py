"""The servers' numbers in the units of `HQ`'s frames: volumes counted in lots made units
(shares, or bonds) with each security's lot size, quote, tick and minute prices put at its
decimals, the packed form's zero made 0. All through `pelmora.units`; with ``lots=True`` the
volumes stay the servers' counts."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Sequence

from ..frames import PRICE_COLUMNS, Bars, insert_types
from ..instruments import kind_of
from ..symbols import MARKET_NAMES, Symbol, parse_symbol
from .listing import SecurityLists
from .notices import Notices

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pandas as pd

# pelmora.units, like numpy, is imported at first use: `import pelmora` stays light.

_VOLUME = PRICE_COLUMNS.index("volume")
_AMOUNT = PRICE_COLUMNS.index("amount")


class Scaling:
    """The units of one `HQ`'s frames: its security lists give the lot sizes and decimals."""

    def __init__(self, lists: SecurityLists, notices: Notices, lots: bool) -> None:
        self.lists = lists
        self.notices = notices
        self.lots = lots

    def quieted(self, notices: Notices) -> Scaling:
        return Scaling(self.lists, notices, self.lots)

    def bars(self, bars: Bars, syms: Sequence[Symbol], rows: Sequence[int]) -> Bars:
        """Bars of `syms` (`rows[i]` rows of the i-th, one after the other) in the frames'
        units: volumes in units, the packed zeros of volume and amount made 0."""
        from .. import units
        if not len(bars):
            return bars
        # Where they lie: the bars were fetched for this call and nothing else sees them, so
        # only the two rows that change are written, not the whole block copied.
        values = bars.values
        values[_AMOUNT] = units.packed(values[_AMOUNT])
        sizes, _ = self.lists.units([s.market for s in syms], [s.code for s in syms])
        [values[_VOLUME]] = self._in_units([units.packed(values[_VOLUME])], sizes,
                                           [s.canonical for s in syms], rows)
        return bars

    def columns(self, bars: Bars, syms: Sequence[Symbol], rows: Sequence[int]) -> dict[str, Any]:
        """The value columns of `bars` as `bars` gives them, by name, in the frames' units: only
        volume and amount are new arrays (and amount only where it holds packed zeros), the
        others stay views of the engine's memory."""
        from .. import units
        from ..arrow import block_columns
        out = block_columns(bars.values)
        if not len(bars):
            return out
        out["amount"] = units.packed(out["amount"])
        sizes, _ = self.lists.units([s.market for s in syms], [s.code for s in syms])
        [out["volume"]] = self._in_units([units.packed(out["volume"])], sizes,
                                         [s.canonical for s in syms], rows)
        return out

    def types(self, syms: Sequence[Symbol]) -> list[str]:
        """The ``type`` of each security: decided by its code's range and the list's
        decimals."""
        _, points = self.lists.units([s.market for s in syms], [s.code for s in syms])
        return [kind_of(s.market, s.code, p).type for s, p in zip(syms, points.tolist())]

    def typed(self, frame: pd.DataFrame) -> pd.DataFrame:
        """A long frame with the ``type`` of each security, after ``symbol``: decided by its
        code's range and the list's decimals."""
        syms = [parse_symbol(str(c)) for c in frame["symbol"].cat.categories]
        insert_types(frame, self.types(syms))
        return frame

    def rows(self, data: dict[str, Any], markets: Sequence[int], codes: Sequence[str],
             prices: Sequence[str], volumes: Sequence[str]) -> dict[str, Any]:
        """Columns of an answer of a row per security (quotes: of `markets` and `codes`) in
        the frames' units: `prices` at each one's decimals, `volumes` in units."""
        return self._columns(data, markets, codes, prices, volumes, None)

    def one(self, data: dict[str, Any], sym: Symbol, prices: Sequence[str],
            volumes: Sequence[str]) -> dict[str, Any]:
        """Columns of an answer of one security's rows (ticks, minutes) in the frames'
        units."""
        rows = [len(data[(*prices, *volumes)[0]])]
        return self._columns(data, [sym.market], [sym.code], prices, volumes, rows)

    def _columns(self, data: dict[str, Any], markets: Sequence[int], codes: Sequence[str],
                 prices: Sequence[str], volumes: Sequence[str],
                 rows: Sequence[int] | None) -> dict[str, Any]:
        from .. import units
        sizes, points = self.lists.units(markets, codes)
        names = [MARKET_NAMES.get(int(m), str(m)) + c for m, c in zip(markets, codes)]
        if rows is not None:
            points = points.repeat(rows)
        out = dict(data)
        for name in prices:
            out[name] = units.rescale_prices(data[name], points)
        out.update(zip(volumes, self._in_units([data[v] for v in volumes], sizes, names, rows)))
        return out

    def _in_units(self, columns: list[Any], sizes: npt.NDArray[np.int64],
                  names: Sequence[str], rows: Sequence[int] | None = None) -> list[Any]:
        """Volume columns of securities of lot sizes `sizes` (named `names`), `rows[i]` rows
        of the i-th (one each without `rows`), in units; an unknown lot size is said once."""
        import numpy as np
        from .. import units
        if self.lots:
            return [np.asarray(c) for c in columns]
        unknown = sizes <= 0
        if unknown.any():
            self.notices.lots_unknown([n for n, u in zip(names, unknown.tolist()) if u])
        per_row = sizes if rows is None else np.repeat(sizes, rows)
        return [units.to_units(c, per_row) for c in columns]
