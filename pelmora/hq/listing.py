"""The markets' security lists an `HQ` keeps: fetched once, checked before they are believed,
and the securities a call names checked against them."""
from __future__ import annotations

import threading
from typing import Any, Callable, Sequence

from ..fetch import Fetch
from ..limits import LIST_PAGE
from ..symbols import MARKET_NAMES, Symbol, SymbolLike, parse_symbol
from .notices import Notices


def at_least(seen: int) -> int:
    """The fewest securities a list or count may hold, where `seen` were last seen, before it
    is asked of another server: an empty one, or one more than a tenth shorter, is suspect."""
    return max(1, seen - seen // 10)


def page_floors(total: int) -> list[int]:
    """The fewest rows each list page of a market of `total` securities may hold before it is
    asked of another server: nine tenths of what the count leaves for it."""
    return [min(LIST_PAGE, total - start) * 9 // 10 for start in range(0, total, LIST_PAGE)]


class SecurityLists:
    """Each market's codes, fetched at their first use, and the size of its list last believed:
    a much shorter one is confirmed elsewhere first."""

    def __init__(self, fetch: Fetch, notices: Notices) -> None:
        self._fetch = fetch
        self._notices = notices
        self._codes: dict[int, list[str]] = {}
        self._held: dict[int, frozenset[str]] = {}
        self._seen: dict[int, int] = {}
        self._lock = threading.Lock()

    def codes(self, market: int) -> list[str]:
        """Every code of the market's list, in list order."""
        with self._lock:
            if market not in self._codes:
                codes = self._asked(self._fetch.security_codes, market, None,
                                    self.floor(market))
                self._codes[market] = codes
                self._held[market] = frozenset(codes)
                self._seen[market] = len(codes)
            return self._codes[market]

    def count(self, market: int, known: int | None = None) -> int:
        """The number of securities the market's list holds, as a server counts them."""
        return self._asked(self._fetch.security_count, market,  # type: ignore[no-any-return]
                           at_least=self.floor(market, known))

    def floor(self, market: int, known: int | None = None) -> int:
        """The fewest securities a count or list of `market` may hold before another server
        is asked: nine tenths of the last seen, or of `known`."""
        return at_least(max(known or 0, self._seen.get(market, 0)))

    def saw(self, market: int, size: int) -> None:
        """Records the size of a list believed."""
        with self._lock:
            self._seen[market] = size

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
        held: dict[int, frozenset[str]] = {}
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
