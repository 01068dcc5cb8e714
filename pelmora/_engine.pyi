"""pelmora._engine — a pool of HQ connections served without the interpreter lock, bars decoded
into columns"""

from collections.abc import Callable, Sequence
from types import TracebackType
from typing import Final, Literal, Union, final

INFLATER: Final[str]  # what inflates answers, with its version: "libdeflate 1.14", "zlib 1.2.13"

# The protocol's limits, from the constants the engine checks its requests against.
BAR_PAGE: Final[int]
"""Bars a bars request returns at most (800)."""
LIST_PAGE: Final[int]
"""Securities a security-list page holds (1000)."""
QUOTE_PAGE: Final[int]
"""Securities a quotes request asks for (80)."""
TRANSACTION_PAGE: Final[int]
"""Ticks a transactions request returns at most (2000)."""
MAX_OFFSET: Final[int]
"""The furthest back a bars or ticks request can start (0xFFFF)."""
MAX_CONNECTIONS: Final[int]
"""Connections one Pool opens at most (256)."""
MINUTE_CATEGORIES: Final[frozenset[int]]
"""The bar categories whose times are minutes (the others are days)."""

@final
class Column:
    """One column of a BarBatch, shared through the buffer protocol (format 'q' or 'd')."""
    @property
    def address(self) -> int: ...
    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

@final
class BarBatch:
    @property
    def index(self) -> bool: ...
    def __len__(self) -> int: ...
    def column(self, name: str, /) -> Column: ...
    def errors(self) -> list[tuple[int, Exception]]: ...

ArrowKind = Literal["float64", "int64", "int32", "int16", "int8", "timestamp[s]", "timestamp[ms]",
                    "dictionary", "utf8"]

@final
class ArrowTable:
    """Columns exported through the Arrow PyCapsule interface (pyarrow, polars, duckdb read it).
    Numeric data is exported as its own buffer, never copied, and kept alive for as long as
    anything exported from the table is. requested_schema is accepted and not applied."""
    def __init__(self, columns: Sequence[tuple[str, ArrowKind, object, Sequence[str] | None]],
                 chunk_rows: int = 0) -> None: ...
    def __len__(self) -> int: ...
    @property
    def num_chunks(self) -> int: ...
    @property
    def column_names(self) -> list[str]: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_array__(self, requested_schema: object | None = None
                          ) -> tuple[object, object]: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

BarQuery = tuple[int, int, str, int, int, bool]  # category, market, code, start, count, index

@final
class TableBatch:
    """Rows of a batch of requests of one kind, as named columns, request after request."""
    def __len__(self) -> int: ...
    def column(self, name: str, /) -> Column | list[str]: ...
    def counts(self) -> Column: ...
    def names(self) -> list[str]: ...
    def errors(self) -> list[tuple[int, Exception]]: ...

TableKind = Literal["securities", "quotes", "xdxr", "finance", "ticks", "minutes"]
# securities, xdxr, finance, ticks, minutes: market, code, start, count, date (YYYYMMDD or 0);
# quotes: the (market, code) pairs of one request.
TableQuery = Union[tuple[int, str, int, int, int], Sequence[tuple[int, str]]]

@final
class Pending:
    """A batch submitted to a Pool, running while the caller does other work. Dropped before
    result(), its requests still queued are dropped too."""
    def result(self, progress: Callable[[int, int], object] | None = None
               ) -> BarBatch | TableBatch:
        """Waits for the batch (Ctrl-C cancels it) and returns its BarBatch (submit_bars) or
        TableBatch (submit_table): the same object on every call. `progress(done, total)` is
        called on this thread as requests finish."""
    def done(self) -> bool:
        """Whether every request of the batch has ended."""
    def cancel(self) -> None:
        """Drops the requests not yet started; they end as failed ("the pool was closed")."""

@final
class Pool:
    def __init__(self, servers: Sequence[str], connections: int = 8, timeout: float = 10.0,
                 connect_timeout: float = 5.0, attempts: int = 4,
                 cooldown: float = 30.0) -> None: ...
    @property
    def connections(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def bars(self, queries: Sequence[BarQuery],
             progress: Callable[[int, int], object] | None = None) -> BarBatch: ...
    def submit_bars(self, queries: Sequence[BarQuery]) -> Pending:
        """Starts the requests of bars() and returns at once; result() gives the BarBatch."""
    def security_codes(self, market: int,
                       progress: Callable[[int, int], object] | None = None,
                       at_least: int = 0) -> list[str]: ...
    # at_least: one number per query, above 0 only for securities, xdxr and finance.
    def table(self, kind: TableKind, queries: Sequence[TableQuery],
              progress: Callable[[int, int], object] | None = None,
              at_least: Sequence[int] | None = None) -> TableBatch: ...
    def submit_table(self, kind: TableKind, queries: Sequence[TableQuery],
                     at_least: Sequence[int] | None = None) -> Pending:
        """Starts the requests of table() and returns at once; result() gives the TableBatch."""
    def security_count(self, market: int, at_least: int = 0) -> int: ...
    def take_warnings(self) -> list[str]: ...
    def servers(self) -> list[tuple[str, str, str]]: ...
    def set_aside(self, server: str, reason: str) -> None:
        """Sets the server ("ip:port", as servers() names it) aside for the pool's life: its
        requests go to the others. ValueError for a server not in the pool."""
    def close(self) -> None: ...
    def __enter__(self) -> Pool: ...
    def __exit__(self, t: type[BaseException] | None, v: BaseException | None,
                 tb: TracebackType | None, /) -> bool: ...

def read_bar_files(paths: Sequence[str | bytes], divisors: Sequence[float] | None = None,
                   start: int | None = None, end: int | None = None, threads: int = 1,
                   progress: Callable[[int, int], object] | None = None,
                   milliseconds: bool = False, minute: bool = False) -> BarBatch: ...
