"""The markets' security lists an `HQ` keeps: fetched once, checked before they are believed,
the securities a call names checked against them, and each code's lot size and decimals kept
for the frames' units."""
from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Any, Callable, Iterable, Sequence

from ..fetch import Fetch, raise_first
from ..instruments import kind_of
from ..limits import LIST_PAGE
from ..symbols import MARKET_NAMES, Symbol, SymbolLike, parse_symbol
from .notices import Notices
from .securities import pages

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt


def at_least(seen: int) -> int:
    """The fewest securities a list or count may hold, where `seen` were last seen, before it
    is asked of another server: an empty one, or one more than a tenth shorter, is suspect."""
    return max(1, seen - seen // 10)


def page_floors(total: int) -> list[int]:
    """The fewest rows each list page of a market of `total` securities may hold before it is
    asked of another server: nine tenths of what the count leaves for it."""
    return [min(LIST_PAGE, total - start) * 9 // 10 for start in range(0, total, LIST_PAGE)]


class SecurityLists:
    """Each market's codes with their lot sizes and decimals, fetched at their first use, and
    the size of its list last believed: a much shorter one is confirmed elsewhere first."""

    def __init__(self, fetch: Fetch, notices: Notices) -> None:
        self._fetch = fetch
        self._notices = notices
        self._codes: dict[int, list[str]] = {}
        # code -> (volunit, decimal_point), as the list gives them
        self._held: dict[int, dict[str, tuple[int, int]]] = {}
        self._seen: dict[int, int] = {}
        self._lock = threading.Lock()

    def codes(self, market: int) -> list[str]:
        """Every code of the market's list, in list order."""
        with self._lock:
            if market not in self._codes:
                self._keep(market, self._asked(self._listed, market, self.floor(market)))
            return self._codes[market]

    def units(self, markets: Iterable[int], codes: Iterable[str]
              ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
        """The lot size and decimals of each security: the list's, 0 for the lot size of a
        code the list does not hold (unknown) and the decimals its range gives."""
        import numpy as np
        sizes, points = [], []
        tables: dict[int, dict[str, tuple[int, int]]] = {}
        for market, code in zip(markets, codes):
            table = tables.get(market)
            if table is None:
                self.codes(market)
                table = tables[market] = self._held[market]
            held = table.get(code)
            if held is None:
                sizes.append(0)
                points.append(kind_of(market, code).decimal_point)
            else:
                sizes.append(held[0])
                points.append(held[1])
        return np.array(sizes, dtype=np.int64), np.array(points, dtype=np.int64)

    def kept(self, market: int, codes: Sequence[str], volunits: Sequence[int],
             decimals: Sequence[int]) -> None:
        """Keeps a list believed elsewhere (`HQ.securities`) as the market's."""
        with self._lock:
            self._keep(market, (list(codes), list(volunits), list(decimals)))

    def _keep(self, market: int, listed: tuple[list[str], list[int], list[int]]) -> None:
        codes, volunits, decimals = listed
        self._codes[market] = codes
        self._held[market] = {c: (int(v), int(d)) for c, v, d in zip(codes, volunits, decimals)}
        self._seen[market] = len(codes)

    def _listed(self, market: int, floor: int) -> tuple[list[str], list[int], list[int]]:
        """A market's codes, lot sizes and decimals, its pages fetched at once."""
        total = self._fetch.security_count(market, at_least=floor)
        batch = self._fetch.table("securities", pages(market, total),
                                  at_least=page_floors(total))
        raise_first(batch.errors())
        data = batch.columns(("code", "volunit", "decimal_point"))
        return (list(data["code"]), data["volunit"].tolist(), data["decimal_point"].tolist())

    def count(self, market: int, known: int | None = None) -> int:
        """The number of securities the market's list holds, as a server counts them."""
        return self._asked(self._fetch.security_count, market,  # type: ignore[no-any-return]
                           at_least=self.floor(market, known))

    def floor(self, market: int, known: int | None = None) -> int:
        """The fewest securities a count or list of `market` may hold before another server
        is asked: nine tenths of the last seen, or of `known`."""
        return at_least(max(known or 0, self._seen.get(market, 0)))

    def listed(self, symbol: SymbolLike) -> Symbol:
        """The security named, which its market's list must hold (else KeyError)."""
        sym = parse_symbol(symbol)
        self.check([sym])
        return sym

    def check(self, syms: Sequence[Symbol],
              fails: dict[str, BaseException] | None = None) -> list[Symbol]:
        """The securities the markets' lists hold; KeyError for another (or, with `fails`,
        recorded there)."""
        out = []
        held: dict[int, dict[str, tuple[int, int]]] = {}
        for sym in syms:
            codes = held.get(sym.market)
            if codes is None:
                self.codes(sym.market)
                codes = held[sym.market] = self._held[sym.market]
            if sym.code in codes:
                out.append(sym)
                continue
            exc = KeyError(f"{sym.canonical} is not in the security list of market "
                           f"{MARKET_NAMES[sym.market]}")
            if fails is None:
                raise exc
            fails[sym.canonical] = exc
        return out

    def _asked(self, fetch: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        """A count or list fetched, then the pool's warnings given; when it fails, its error
        says what they would have (the servers set aside and why)."""
        try:
            out = fetch(*args, **kwargs)
        except BaseException:
            self._notices.drop_servers()
            raise
        self._notices.servers()
        return out
