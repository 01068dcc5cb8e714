"""Batches of table requests for `HQ`'s commands other than bars: those that must all succeed,
and the per-security records (ex-rights events, finance summaries) of many securities."""
from __future__ import annotations

from typing import Callable, Iterable, Mapping, Sequence, Union

from ..fetch import Fetch, TableQuery, TableResult, raise_first
from ..symbols import Symbol, SymbolLike, many, parse_symbol
from .listing import SecurityLists
from .notices import Notices, raise_nothing, reason

Progress = Callable[[int, int], object]
# Securities known to have records, or a mapping of them to how many they had.
HadRecords = Union[Iterable[SymbolLike], Mapping[SymbolLike, int]]


class Tables:
    """Table batches over a fetch layer, with the pool's warnings given after each."""

    def __init__(self, fetch: Fetch, lists: SecurityLists, notices: Notices) -> None:
        self._fetch = fetch
        self._lists = lists
        self._notices = notices

    def table(self, kind: str, queries: Sequence[object], progress: Progress | None = None,
              at_least: Sequence[int] | None = None) -> TableResult:
        """A batch of table queries; `at_least`: the fewest rows each answer may have before
        it is asked of another server."""
        try:
            return self._fetch.table(kind, queries, progress, at_least)
        finally:
            self._notices.servers()

    def checked(self, kind: str, queries: Sequence[object],
                at_least: Sequence[int] | None = None) -> TableResult:
        """The batch of queries that must all succeed: raises the first failure."""
        batch = self.table(kind, queries, at_least=at_least)
        raise_first(batch.errors())
        return batch

    def records_many(self, kind: str, symbols: Iterable[SymbolLike], what: str,
                     progress: Progress | None = None, had_records: HadRecords = ()
                     ) -> tuple[list[Symbol], TableResult]:
        """The securities (each once) and the batch of a record query for each; raises when
        every one failed, names the failed ones in a `DataWarning` (no `what` for them). The
        answers for `had_records` must have a row (or as many as it maps a security to), or
        be confirmed by another server."""
        asked = list(dict.fromkeys(parse_symbol(s) for s in many(symbols)))
        fails: dict[str, BaseException] = {}
        syms = self._lists.check(asked, fails)
        if not syms and fails:
            raise_nothing(fails)
        if isinstance(had_records, Mapping):
            had = {parse_symbol(s): int(n) for s, n in had_records.items()}
        else:
            had = dict.fromkeys((parse_symbol(s) for s in many(had_records)), 1)
        batch = self.table(kind, [TableQuery.of(s) for s in syms], progress,
                           [had.get(s, 0) for s in syms] if had else None)
        errors = batch.errors()
        if errors and len(errors) == len(syms):
            raise_first(errors)
        fails.update((syms[i].canonical, e) for i, e in errors)
        if fails:
            listing = "; ".join(f"{name} ({reason(e)})" for name, e in fails.items())
            self._notices.warn(f"no {what} for {len(fails)} of {len(asked)} securities: "
                               f"{listing}")
        return syms, batch
