"""The columnar fetch layer: typed queries in, the engine's columns out.

`HQ` and the store's sync both fetch through a `Fetch`. A batch is either waited for at once
(`bars`, `table`) or started (`start_bars`, `start_table`) and its `Pending` result taken
later: the engine's threads fetch it meanwhile, so a caller decodes or writes one batch while
the next is fetched, without Python threads. Results hold the engine's memory: numeric columns are
numpy views of it, text columns lists of str.
"""
from __future__ import annotations

import threading
from typing import (TYPE_CHECKING, Any, Callable, Generic, NamedTuple, Sequence, TypeVar,
                    cast)

from .frames import Bars

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from ._engine import ArrowKind
    from .arrow import Column
    from .symbols import Symbol

Progress = Callable[[int, int], object]
T = TypeVar("T")


class BarQuery(NamedTuple):
    """One bars request: `length` bars (up to a page) of a security, `start` bars back from
    its latest; `is_index` asks for the index layout (advancing and declining counts)."""
    category: int
    market: int
    code: str
    start: int
    length: int
    is_index: bool


class TableQuery(NamedTuple):
    """One request of a table kind other than quotes: the security (a list page names none),
    where its page starts and how many rows it asks for (`length`), and a history day as YYYYMMDD (0:
    today)."""
    market: int
    code: str = ""
    start: int = 0
    length: int = 0
    date: int = 0

    @classmethod
    def of(cls, sym: Symbol, start: int = 0, length: int = 0, date: int = 0) -> TableQuery:
        return cls(sym.market, sym.code, start, length, date)


# A quotes request: the (market, code) pairs it asks for.
QuoteQuery = Sequence[tuple[int, str]]


class _Result:
    """A batch's result over the engine's memory: its requests' rows one after the other."""

    __slots__ = ("batch",)

    def __init__(self, batch: Any) -> None:
        self.batch = batch

    def __len__(self) -> int:
        return len(self.batch)

    def errors(self) -> list[tuple[int, BaseException]]:
        """(request number, its error) of the requests that failed."""
        return self.batch.errors()  # type: ignore[no-any-return]

    def _arrow_columns(self) -> list[Column]:
        raise NotImplementedError

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        """The raw columns as an Arrow stream, over the engine's memory (see `pelmora.arrow`)."""
        from . import _engine
        from .arrow import CHUNK_ROWS
        table = _engine.ArrowTable(self._arrow_columns(), CHUNK_ROWS)
        return table.__arrow_c_stream__(requested_schema)


class BarResult(_Result):
    """The bars of a batch, request after request."""

    __slots__ = ()

    def bars(self) -> Bars:
        """Every row: times (datetime64[s]) and the block of values, one row per column."""
        import numpy as np
        times = np.frombuffer(self.batch.column("datetime"), dtype=np.int64).view("M8[s]")
        return Bars(times, np.asarray(self.batch.column("values")))

    def rows(self) -> npt.NDArray[np.int64]:
        """Rows each request gave, in request order (0 for a failed one)."""
        import numpy as np
        return np.frombuffer(self.batch.column("counts"), dtype=np.int64)

    def _arrow_columns(self) -> list[Column]:
        """``datetime`` and the value columns as the servers sent them (lots, packed zeros)."""
        from .arrow import block_columns
        bars = self.bars()
        columns: list[Column] = [("datetime", "timestamp[s]", self.batch.column("datetime"),
                                  None)]
        columns += [(name, "float64", data, None)
                    for name, data in block_columns(bars.values).items()]
        return columns


class TableResult(_Result):
    """The rows of a batch of one table kind, request after request."""

    __slots__ = ()

    def names(self) -> list[str]:
        """The column names the answers held (finance columns vary with the server)."""
        return self.batch.names() if len(self.batch) else []

    def columns(self, names: Sequence[str]) -> dict[str, Any]:
        """The named columns: float64 and int64 arrays over the engine's memory, lists of str
        for text."""
        import numpy as np
        out: dict[str, Any] = {}
        for name in names:
            column = self.batch.column(name)
            out[name] = column if isinstance(column, list) else np.asarray(column)
        return out

    def rows(self) -> npt.NDArray[np.int64]:
        """Rows each request gave, in request order (0 for a failed one)."""
        import numpy as np
        return np.asarray(self.batch.counts())

    def _arrow_columns(self) -> list[Column]:
        """Every column as the answers held it: numbers in their own type, text as utf8."""
        columns: list[Column] = []
        for name, data in self.columns(self.names()).items():
            kind = "utf8" if isinstance(data, list) else data.dtype.name
            columns.append((name, cast("ArrowKind", kind), data, None))
        return columns

    def bounds(self) -> npt.NDArray[np.int64]:
        """Request i's rows are [bounds[i], bounds[i + 1])."""
        import numpy as np
        return np.concatenate([np.zeros(1, dtype=np.int64), np.cumsum(self.rows())])


class Pending(Generic[T]):
    """A batch on its way, fetched by the engine's threads while the caller works: `result`
    waits for it (without the interpreter lock; Ctrl-C cancels it) and gives it, the same
    object on every call. Dropped before `result`, its requests not yet started are dropped."""

    __slots__ = ("_native", "_wrap", "_done")

    def __init__(self, native: Any, wrap: Callable[[Any], T]) -> None:
        self._native = native
        self._wrap = wrap
        self._done: T | None = None

    def result(self, progress: Progress | None = None) -> T:
        """The result; `progress(done, total)` counts the batch's requests as they end."""
        if self._done is None:
            self._done = self._wrap(self._native.result(progress))
        return self._done

    def done(self) -> bool:
        """Whether every request of the batch has ended."""
        return self._native.done()  # type: ignore[no-any-return]

    def cancel(self) -> None:
        """Drops the requests not yet started; they end as failed."""
        self._native.cancel()


def raise_first(errors: Sequence[tuple[int, BaseException]]) -> None:
    """Raises the first of a batch's errors, if any, without the cycle that a local holding it
    would make with its traceback (the frames stay alive until the collector runs)."""
    if not errors:
        return
    error = errors[0][1]
    del errors
    try:
        raise error
    finally:
        del error


class Fetch:
    """Batches of typed queries over a pool of the engine; counts the bar requests asked."""

    def __init__(self, pool: Any) -> None:
        self._pool = pool
        self._lock = threading.Lock()
        self._bar_requests = 0

    @property
    def bar_requests(self) -> int:
        """The bar requests (pages) asked so far; one tried again elsewhere counts once."""
        return self._bar_requests

    @property
    def connections(self) -> int:
        return self._pool.connections  # type: ignore[no-any-return]

    def start_bars(self, queries: Sequence[BarQuery]) -> Pending[BarResult]:
        """Starts a batch of bar requests."""
        with self._lock:
            self._bar_requests += len(queries)
        return Pending(self._pool.submit_bars(queries), BarResult)

    def bars(self, queries: Sequence[BarQuery], progress: Progress | None = None) -> BarResult:
        """A batch of bar requests, waited for; `progress(done, total)` counts requests."""
        return self.start_bars(queries).result(progress)

    def start_table(self, kind: str, queries: Sequence[Any],
                    at_least: Sequence[int] | None = None) -> Pending[TableResult]:
        """Starts a batch of table requests of one kind (`TableQuery`, or `QuoteQuery` for
        quotes). `at_least`: the fewest rows each answer may have before it is asked of
        another server."""
        return Pending(self._pool.submit_table(kind, queries, at_least), TableResult)

    def table(self, kind: str, queries: Sequence[Any], progress: Progress | None = None,
              at_least: Sequence[int] | None = None) -> TableResult:
        """A batch of table requests, waited for."""
        return self.start_table(kind, queries, at_least).result(progress)

    def security_count(self, market: int, at_least: int = 0) -> int:
        return self._pool.security_count(market, at_least=at_least)  # type: ignore[no-any-return]

    def security_codes(self, market: int, progress: Progress | None = None,
                       at_least: int = 0) -> list[str]:
        """Every code of a market's security list, its pages fetched at once."""
        return self._pool.security_codes(market, progress, at_least)  # type: ignore[no-any-return]

    def take_warnings(self) -> list[str]:
        """What the pool has to say (servers set aside, answers believed unconfirmed) since it
        was last asked."""
        return self._pool.take_warnings()  # type: ignore[no-any-return]

    def servers(self) -> list[tuple[str, str, str]]:
        return self._pool.servers()  # type: ignore[no-any-return]

    def set_aside(self, server: str, reason: str) -> None:
        """Sets a server ("ip:port") aside for the pool's life: its requests go to the others."""
        self._pool.set_aside(server, reason)

    def close(self) -> None:
        self._pool.close()
