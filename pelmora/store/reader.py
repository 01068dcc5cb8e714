"""`Store`: the store's bars, securities and tables as DataFrames, read while a sync writes.

Each read is one snapshot of the last committed state (SQLite in WAL mode); the connection is
read-only and never blocks the sync or is blocked by it. Every row read is checked against its
checksum (`StoreCorrupt` for a damaged one), and SQLite's errors name the store's file.
"""
from __future__ import annotations

import json
import sqlite3
from pathlib import Path
from typing import Any, Iterable, Literal, Optional, Sequence, overload

import numpy as np
import numpy.typing as npt

from .. import instruments
from ..arrow import ArrowBars, Output, check_output, deliver, long_bars
from ..frames import INDEX_COLUMNS, PRICE_COLUMNS
from ..methods import check_method
from ..symbols import (MARKETS, SymbolLike, is_index, is_index_name, many, parse_symbol,
                       period_name)
from . import blocks, checksums, schema, views
from .adjusted import EVENT_KEYS, adjusted_prices
from .codec import key_of_date, key_times
from .errors import StoreCorrupt, names_file

Frame = Any  # a pandas DataFrame
IntArray = npt.NDArray[np.int64]

def _frame(series: blocks.Series, period: str, index: bool,
           prices: Optional[npt.NDArray[np.float64]] = None) -> Frame:
    """The frame of `series`, with `prices` (yuan, [4, n]) in place of its own if given."""
    import pandas as pd
    parts = [series.prices.astype(np.float64) / 1000.0 if prices is None else prices,
             series.flows]
    if index:
        parts.append(series.counts.astype(np.float64) if series.counts is not None
                     else np.full((2, len(series)), np.nan))
    values = np.concatenate(parts).T
    columns = PRICE_COLUMNS + (INDEX_COLUMNS if index else ())
    idx = pd.DatetimeIndex(key_times(series.keys, period), name="datetime")
    return pd.DataFrame(values, index=idx, columns=list(columns), copy=False)


def _long_frame(names: list[str], lengths: npt.NDArray[np.int64], whole: blocks.Series,
                counted: npt.NDArray[np.bool_], period: str) -> Frame:
    """One frame of the bars of many securities, a categorical ``symbol`` column first;
    `counted` says which securities' up and down counts are real."""
    import pandas as pd
    index = [is_index_name(n) for n in names]
    frame = _frame(whole, period, any(index))
    if any(index):
        # Zeros stand in for the counts a security does not have: show them as missing.
        has = np.repeat(np.array(index) & counted, lengths)
        frame.loc[~has, list(INDEX_COLUMNS)] = np.nan
    codes = np.repeat(np.arange(len(names), dtype=np.int32), lengths)
    frame.insert(0, "symbol", pd.Categorical.from_codes(codes, categories=names))
    return frame


def in_yuan(prices: IntArray) -> npt.NDArray[np.float64]:
    """Stored prices (thousandths) in yuan, one new block whose rows are the columns."""
    return np.divide(prices, 1000.0)


def _long_bars(names: list[str], lengths: npt.NDArray[np.int64], whole: blocks.Series,
               counted: npt.NDArray[np.bool_], period: str, types: list[str]) -> ArrowBars:
    """The columns of `_long_frame` (with each security's type): the decoded keys made times
    and the prices made yuan once each, volume and amount the decoded arrays themselves."""
    values = dict(zip(PRICE_COLUMNS[:4], in_yuan(whole.prices)))
    values["volume"], values["amount"] = whole.flows
    index = [is_index_name(n) for n in names]
    if any(index):
        # NaN for the counts a security does not have, as in the frame.
        has = np.repeat(np.array(index) & counted, lengths)
        counts = whole.counts if whole.counts is not None else np.zeros((2, len(whole)))
        for name, column in zip(INDEX_COLUMNS, counts):
            values[name] = np.where(has, column, np.nan)
    return long_bars(key_times(whole.keys, period), values, names, lengths, types)


class Store:
    """A pelmora store folder, read-only.

    >>> store = Store("~/pelmora-store")
    >>> df = store.bars("600036", adjust="qfq")
    >>> store.sql("SELECT datetime, close / 1000.0 AS close FROM bars_day WHERE symbol = 'sh600036'")
    """

    def __init__(self, path: str | Path) -> None:
        self.path = Path(path).expanduser()
        self.file = self.path / schema.DB_NAME
        self._con = schema.connect(self.path, readonly=True)

    def close(self) -> None:
        self._con.close()

    def __enter__(self) -> Store:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _range(self, period: str, start: Any, end: Any) -> tuple[int, int]:
        lo = key_of_date(start, period) if start is not None else 0
        hi = key_of_date(end, period, end=True) if end is not None else 999999999999
        if hi < lo:
            raise ValueError(f"end {end!r} is before start {start!r}")
        return lo, hi

    def _known(self, symbol: str) -> bool:
        """Whether the store has heard of `symbol`: in a security list or a sync's record."""
        row = self._con.execute("SELECT EXISTS (SELECT 1 FROM securities WHERE symbol=?) OR "
                                "EXISTS (SELECT 1 FROM coverage WHERE symbol=?)",
                                (symbol, symbol)).fetchone()
        return bool(row[0])

    @names_file
    def bars(self, symbol: SymbolLike, period: str | int = "day", count: Optional[int] = None,
             start: Any = None, end: Any = None, *, adjust: Optional[str] = None,
             as_of: Any = None) -> Frame:
        """Bars of one security as `HQ.bars` gives them, oldest first, with its arguments:

        `period` by any name `HQ.bars` takes (pandas' ``"D"``, ``"5min"``, ``"min"`` too),
        of those the store keeps (day, 5m, 1m; ValueError for another). `count`: the latest
        `count` bars (up to `end` when given); `start` / `end` as for `HQ.bars`; `count` and
        `start` together are refused. `adjust` ("qfq", "hfq", "qfq-ratio", "hfq-ratio")
        adjusts them by the stored ex-rights events as the whole stored daily history is
        adjusted, whatever the range; `as_of` ignores events after it. Raises ValueError for a
        malformed name or a Beijing code, KeyError naming a security the store has never listed.

        What differs from `HQ.bars`: without `count` and `start` every stored bar is given
        (not the latest 800); there is no `progress` (a read takes milliseconds); and no
        `DataWarning` about a short history: the store holds what its syncs fetched.

        Units: see the units table in the docs (docs/units.md).
        """
        sym = parse_symbol(symbol)
        name = self._period(period)
        _check_count(count, start)
        lo, hi = self._range(name, start, end)
        series = read_bars(self._con, sym.canonical, name, lo, hi)
        if not len(series) and not self._known(sym.canonical):
            raise KeyError(f"{sym.canonical} is not in the store's security lists")
        prices = None
        if adjust is not None:
            check_method(adjust)
            self._xdxr_rows(sym.canonical)  # checked before the adjustment reads them
            events = event_values(self._con, sym.canonical,
                                  None if as_of is None else key_of_date(as_of, "day"))
            whole = series if name == "day" and _is_whole(self._con, sym.canonical, series) \
                else read_bars(self._con, sym.canonical, "day")
            prices = adjusted_prices(events, series, name, adjust, whole)
        if count is not None and len(series) > count:
            series = series.part(slice(len(series) - count, None))
            prices = None if prices is None else prices[:, -count:]
        return _frame(series, name, is_index(sym), prices)

    @staticmethod
    def _period(period: str | int) -> str:
        """The canonical name of a period the store keeps."""
        name = period_name(period)
        schema.bars_table(name)
        return name

    @overload
    def bars_many(self, symbols: SymbolLike | Iterable[SymbolLike] | None = ...,
                  period: str | int = ..., count: Optional[int] = ..., start: Any = ...,
                  end: Any = ..., *, adjust: Optional[str] = ..., as_of: Any = ...,
                  output: Literal["arrow"]) -> ArrowBars: ...

    @overload
    def bars_many(self, symbols: SymbolLike | Iterable[SymbolLike] | None = ...,
                  period: str | int = ..., count: Optional[int] = ..., start: Any = ...,
                  end: Any = ..., *, adjust: Optional[str] = ..., as_of: Any = ...,
                  output: Literal["pandas", "polars", "pyarrow"] = ...) -> Frame: ...

    @names_file
    def bars_many(self, symbols: SymbolLike | Iterable[SymbolLike] | None = None,
                  period: str | int = "day", count: Optional[int] = None, start: Any = None,
                  end: Any = None, *, adjust: Optional[str] = None, as_of: Any = None,
                  output: Output = "pandas") -> Any:
        """Bars of many securities (every stored one by default) as one long frame with a
        categorical ``symbol`` column first and the categorical security ``type`` next
        (`pelmora.instruments`), as `HQ.bars_many` gives them; the arguments as for `bars`
        (`count`: the latest `count` bars of each). One name is one security. Securities
        asked for without stored bars are in the frame's categories, without rows. `output`:
        ``"pandas"``, ``"arrow"`` (a `pelmora.ArrowBars`, built without pandas), ``"polars"``
        or ``"pyarrow"``, as for ``HQ.bars_many``.

        Units: see the units table in the docs (docs/units.md).
        """
        check_output(output)
        period = self._period(period)
        _check_count(count, start)
        if symbols is not None:
            # Each security once, however often or in whatever forms it is named.
            names = list(dict.fromkeys(parse_symbol(s).canonical for s in many(symbols)))
        else:
            names = [r[0] for r in self._con.execute("SELECT symbol FROM coverage WHERE "
                                                     "period=? ORDER BY symbol", (period,))]
        if adjust is None:
            lo, hi = self._range(period, start, end)
            found, lengths, counted, whole = read_bars_many(
                self._con, period, lo, hi, names if symbols is not None else None)
            if symbols is None and not set(found) <= set(names):  # bars without a sync's record
                names = sorted(set(names) | set(found))
            if found != names:  # in the order asked, with the securities that have none
                at = {n: i for i, n in enumerate(found)}
                pick = np.array([at.get(n, -1) for n in names], np.int64)
                have = pick >= 0
                starts = np.concatenate([[0], np.cumsum(lengths)])[pick[have]]
                taken = lengths[pick[have]]
                # Row numbers of each picked security's bars, in the order asked.
                rows = np.arange(int(taken.sum())) + np.repeat(
                    starts - np.concatenate([[0], np.cumsum(taken)[:-1]]), taken)
                whole = whole.part(rows)
                if len(found):
                    lengths = np.where(have, lengths[np.where(have, pick, 0)], 0)
                    counted = have & counted[np.where(have, pick, 0)]
                else:  # none of them has bars yet (a first sync under way, say)
                    lengths = np.zeros(len(names), np.int64)
                    counted = np.zeros(len(names), bool)
            if count is not None and (lengths > count).any():
                # Each security's rows from its count-th last on.
                place = np.arange(len(whole)) - np.repeat(np.cumsum(lengths) - lengths, lengths)
                whole = whole.part(place >= np.repeat(lengths - count, lengths))
                lengths = np.minimum(lengths, count)
            if output != "pandas":
                return deliver(_long_bars(names, lengths, whole, counted, period,
                                          types_of(self._con, names)), output)
            frame = _long_frame(names, lengths, whole, counted, period)
            frame.insert(1, "type", self._types(names, lengths))
            return frame
        import pandas as pd
        parts = [self.bars(n, period, count, start, end, adjust=adjust, as_of=as_of)
                 if self._known(n) else _frame(blocks.empty(), period, False) for n in names]
        index = any(len(p.columns) > len(PRICE_COLUMNS) for p in parts)
        columns = list(PRICE_COLUMNS + (INDEX_COLUMNS if index else ()))
        frame = pd.concat([p.reindex(columns=columns) for p in parts]) if parts else \
            _frame(blocks.empty(), period, False)
        lengths = np.array([len(p) for p in parts], np.int64)
        codes = np.repeat(np.arange(len(names), dtype=np.int32), lengths)
        frame.insert(0, "symbol", pd.Categorical.from_codes(codes, categories=names))
        frame.insert(1, "type", self._types(names, lengths))
        return frame if output == "pandas" else deliver(ArrowBars.from_frame(frame), output)

    def _types(self, names: list[str], lengths: IntArray) -> Any:
        """The ``type`` column of `lengths` rows of each of `names`: each security's type by
        its market, code and listed decimals."""
        import pandas as pd
        dtype = instruments.type_dtype()
        codes = [dtype.categories.get_loc(t) for t in types_of(self._con, names)]
        return pd.Categorical.from_codes(np.repeat(np.array(codes, np.int8), lengths),
                                         dtype=dtype)

    @names_file
    def securities(self, market: Optional[str] = None) -> Frame:
        """The stored securities (delisted ones too), indexed by symbol, with their ``type``;
        `in_list` says whether the latest security list still holds each. The previous close
        is the quotes' ``last_close`` (the list's own is a lossy packed number).

        Units: see the units table in the docs (docs/units.md).
        """
        query = "SELECT symbol, market, code, name, volunit, decimal_point, in_list, " \
                "first_seen, last_seen FROM securities"
        args: tuple[Any, ...] = ()
        if market is not None:
            if market not in MARKETS:
                raise ValueError(f"invalid market {market!r}: expected sh or sz")
            query += " WHERE market=?"
            args = (MARKETS[market],)
        import pandas as pd
        frame = self.sql(query + " ORDER BY symbol", args).set_index("symbol")
        frame.insert(0, "type", instruments.type_column(
            instruments.type_of(m, c, None if pd.isna(p) else int(p))
            for m, c, p in zip(frame["market"], frame["code"], frame["decimal_point"])))
        return frame.drop(columns="market")

    @names_file
    def xdxr(self, symbol: SymbolLike) -> Frame:
        """The stored ex-rights records of a security, as `pelmora.events.xdxr_frame`.

        Units: see the units table in the docs (docs/units.md).
        """
        from ..adjust import xdxr_frame
        records = []
        for row in self._xdxr_rows(parse_symbol(symbol).canonical):
            rec = {"year": row[0] // 10000, "month": row[0] // 100 % 100, "day": row[0] % 100,
                   "category": row[1], "name": row[2]}
            rec.update({k: v for k, v in zip(schema.XDXR_VALUES, row[3:]) if v is not None})
            records.append(rec)
        return xdxr_frame(records)

    @names_file
    def finance(self, symbol: SymbolLike) -> Frame:
        """The stored finance snapshot of a security, as `pelmora.events.finance_frame`.

        Units: see the units table in the docs (docs/units.md).
        """
        from ..adjust import finance_frame
        rows = self._checked("finance", parse_symbol(symbol).canonical, "finance record")
        return finance_frame(json.loads(rows[0][2]) if rows else {})

    def _xdxr_rows(self, symbol: str) -> list[Any]:
        """The stored ex-rights rows of `symbol`, from their date on, in order."""
        return [r[2:] for r in self._checked("xdxr", symbol, "ex-rights events", "seq")]

    def _checked(self, table: str, symbol: str, what: str, order: str = "symbol") -> list[Any]:
        """Every column of the rows of `symbol` in `table`; StoreCorrupt when a checksum does
        not match."""
        rows = self._con.execute(f"SELECT *, {schema.crc_expression(self._con, table)} FROM "
                                 f"{table} WHERE symbol=? ORDER BY {order}", (symbol,)).fetchall()
        if any(r[-1] != r[-2] for r in rows):
            raise StoreCorrupt(f"{self.file}: the {what} of {symbol} are damaged (checksum "
                               f"mismatch); a sync fetches them again")
        return [r[:-2] for r in rows]

    @names_file
    def calendar(self) -> Any:
        """The trading days the stored daily bars imply, as a DatetimeIndex."""
        import pandas as pd
        keys = np.array([r[0] for r in self._con.execute("SELECT date FROM calendar ORDER BY date")],
                        dtype=np.int64)
        return pd.DatetimeIndex(key_times(keys, "day"), name="date")

    def sync_log(self) -> Frame:
        return self.sql("SELECT id, started, finished, periods, securities, bars_added, "
                        "bars_replaced, failed, requests, status FROM sync_log ORDER BY id")

    @names_file
    def sql(self, query: str, params: Iterable[Any] = ()) -> Frame:
        """The rows of any read-only SQL query as a DataFrame. The connection is read-only
        and opens no other file: writes, ATTACH and VACUUM INTO raise `sqlite3.DatabaseError`.

        Units: see the units table in the docs (docs/units.md).
        """
        import pandas as pd
        try:
            cur = self._con.execute(query, tuple(params))
            rows = cur.fetchall()
        except sqlite3.OperationalError:
            damaged = views.raised()  # a damaged block, told as "user-defined function ..."
            if damaged is not None:
                raise damaged from None
            raise
        names = [d[0] for d in cur.description] if cur.description else []
        return pd.DataFrame(rows, columns=names)


def types_of(con: sqlite3.Connection, names: Sequence[str]) -> list[str]:
    """The type of each of `names` (canonical symbols), decided by its market, code and the
    decimals its security list gave (the code range's when it has none)."""
    points = dict(con.execute("SELECT symbol, decimal_point FROM securities"))
    return [instruments.type_of(MARKETS[n[:2]], n[2:], points.get(n)) for n in names]


def _check_count(count: Optional[int], start: Any) -> None:
    """Refuses a `count` that is no positive integer, or one given with `start`."""
    if count is not None and start is not None:
        raise ValueError("give count or start, not both")
    if count is not None and (isinstance(count, bool) or not isinstance(count, int) or count < 1):
        raise ValueError(f"count must be a positive integer, not {count!r}")


# -- bars and checksums


def verified(con: sqlite3.Connection, period: str, rows: list[Any]) -> list[Any]:
    """`rows` (of `ROW`), or StoreCorrupt naming the store's file and the first block whose
    checksum does not match."""
    for row in rows:
        if checksums.of(*row[:-1]) != row[-1]:
            raise StoreCorrupt(f"{schema.store_file(con)}: the {period} bars of {row[0]} are damaged "
                               f"(block {row[1]}: checksum mismatch); a sync fetches them again")
    return rows


def read_bars(con: sqlite3.Connection, symbol: str, period: str, lo: int = 0,
         hi: int = 999999999999) -> blocks.Series:
    """The stored bars of `symbol` with keys in [lo, hi]."""
    rows = con.execute(f"SELECT {blocks.ROW} FROM {blocks.table(period)} WHERE symbol=? AND block "
                       f"BETWEEN ? AND ? ORDER BY block",
                       (symbol, blocks.block_of(lo, period), blocks.block_of(hi, period))).fetchall()
    series = blocks.decode(r[5:-1] for r in verified(con, period, rows))
    if len(series) and (series.keys[0] < lo or series.keys[-1] > hi):
        a = int(np.searchsorted(series.keys, lo, side="left"))
        b = int(np.searchsorted(series.keys, hi, side="right"))
        series = series.part(slice(a, b))
    return series


def read_bars_many(con: sqlite3.Connection, period: str, lo: int = 0, hi: int = 999999999999,
              symbols: Optional[Sequence[str]] = None
              ) -> tuple[list[str], IntArray, npt.NDArray[np.bool_], blocks.Series]:
    """The stored bars with keys in [lo, hi] of every security (or of `symbols`): the
    securities that have some, by symbol; their numbers of bars; whether their blocks hold
    up and down counts; and all their bars in that order. One query and one decoding
    whatever the number of securities."""
    where = "block BETWEEN ? AND ? AND first <= ? AND last >= ?"
    args = [blocks.block_of(lo, period), blocks.block_of(hi, period), hi, lo]
    if symbols is not None:
        con.execute("CREATE TEMP TABLE IF NOT EXISTS wanted (symbol TEXT PRIMARY KEY)")
        con.execute("DELETE FROM temp.wanted")
        con.executemany("INSERT OR IGNORE INTO temp.wanted VALUES (?)", ((s,) for s in symbols))
        where += " AND symbol IN (SELECT symbol FROM temp.wanted)"
    rows = con.execute(f"SELECT {blocks.ROW} FROM {blocks.table(period)} WHERE {where} "
                       f"ORDER BY symbol, block", args).fetchall()
    series = blocks.decode(r[5:-1] for r in verified(con, period, rows))
    names: list[str] = []
    counted: list[bool] = []
    owner = np.empty(len(rows), np.int64)
    for i, r in enumerate(rows):
        if not names or names[-1] != r[0]:
            names.append(r[0])
            counted.append(False)
        counted[-1] = counted[-1] or r[12] is not None
        owner[i] = len(names) - 1
    of_bar = np.repeat(owner, [r[4] for r in rows])
    keep = (series.keys >= lo) & (series.keys <= hi)
    if not keep.all():
        series, of_bar = series.part(keep), of_bar[keep]
    return names, np.bincount(of_bar, minlength=len(names)), np.array(counted, bool), series


def mismatched(con: sqlite3.Connection, table: str, what: str) -> list[tuple[Any, ...]]:
    """`what` (SQL expressions) of the rows of `table` whose checksum does not match."""
    return con.execute(f"SELECT {what} FROM {table} WHERE crc IS NOT "
                       f"{schema.crc_expression(con, table)}").fetchall()


def event_values(con: sqlite3.Connection, symbol: str, as_of: int | None = None
                 ) -> list[tuple[Any, ...]]:
    """(date, category, *EVENT_KEYS) of the stored ex-rights records of `symbol` dated by
    `as_of` (YYYYMMDD) when given."""
    return con.execute(f"SELECT date, category, {', '.join(EVENT_KEYS)} FROM xdxr WHERE "
                       f"symbol=? AND NOT coalesce(date > ?, 0)", (symbol, as_of)).fetchall()


def _is_whole(con: sqlite3.Connection, symbol: str, series: blocks.Series) -> bool:
    """Whether `series` holds every stored daily bar of `symbol` (then it need not be read
    again)."""
    if not len(series):
        return False
    row = con.execute(f"SELECT min(first), max(last) FROM {blocks.table('day')} WHERE symbol=?",
                      (symbol,)).fetchone()
    return bool(row == (int(series.keys[0]), int(series.keys[-1])))


def daily_keys(con: sqlite3.Connection) -> set[int]:
    """Every day that stored daily bars have."""
    days: set[int] = set()
    for (keys,) in con.execute(f"SELECT datetime FROM {blocks.table('day')}"):
        days.update(np.frombuffer(keys, "<i8").tolist())
    return days


# -- what the check asks


def failures(con: sqlite3.Connection) -> list[tuple[str, str, str]]:
    """(symbol, part, detail) of what the latest syncs could not get."""
    return con.execute("SELECT symbol, part, detail FROM failures ORDER BY symbol, part"
                       ).fetchall()


def latest_day(con: sqlite3.Connection) -> int | None:
    row = con.execute("SELECT max(date) FROM calendar").fetchone()
    return row[0] if row else None


def coverage_counts(con: sqlite3.Connection, period: str) -> list[tuple[str, int, int, int, int]]:
    """(symbol, bars the syncs wrote, day last checked, last key, bars stored) of every
    security with coverage of `period`, by symbol."""
    table = schema.bars_table(period)
    return con.execute(
        f"SELECT c.symbol, c.bars, c.checked, c.last, (SELECT coalesce(sum(b.bars), 0) FROM "
        f"{table} b WHERE b.symbol = c.symbol) FROM coverage c WHERE c.period = ? "
        f"ORDER BY c.symbol", (period,)).fetchall()


def never_fetched(con: sqlite3.Connection) -> list[str]:
    """The listed securities without any coverage."""
    return [r[0] for r in con.execute(
        "SELECT s.symbol FROM securities s WHERE s.in_list = 1 AND NOT EXISTS "
        "(SELECT 1 FROM coverage c WHERE c.symbol = s.symbol) ORDER BY s.symbol")]


def integrity(con: sqlite3.Connection, most: int) -> list[str]:
    """SQLite's own integrity check: up to `most` findings, or ["ok"]."""
    return [r[0] for r in con.execute(f"PRAGMA integrity_check({int(most)})")]


# -- what the export asks


def has_bars(con: sqlite3.Connection, period: str) -> bool:
    return con.execute(f"SELECT 1 FROM {blocks.table(period)} LIMIT 1").fetchone() is not None


def all_blocks(con: sqlite3.Connection, period: str) -> sqlite3.Cursor:
    """A cursor over every stored block of `period` (`blocks.ROW`), by symbol and block."""
    return con.execute(f"SELECT {blocks.ROW} FROM {blocks.table(period)} ORDER BY symbol, block")


def market_years(con: sqlite3.Connection, period: str) -> list[tuple[str, int]]:
    """(market, year) of every stored block of `period`."""
    year = "block / 10" if period == "day" else "block / 100"
    return con.execute(f"SELECT DISTINCT substr(symbol, 1, 2), {year} "
                       f"FROM {blocks.table(period)}").fetchall()


# -- what a sync asks of the store before it fetches


def covered(con: sqlite3.Connection, period: str) -> set[str]:
    """The securities with stored bars of `period`."""
    return {r[0] for r in con.execute("SELECT symbol FROM coverage WHERE period = ? AND "
                                      "last IS NOT NULL", (period,))}


def coverage_last(con: sqlite3.Connection, period: str) -> dict[str, tuple[int, int]]:
    """(last stored key, the market's day it was last checked at) by security."""
    return {sym: (key, checked) for sym, key, checked in con.execute(
        "SELECT symbol, last, checked FROM coverage WHERE period = ? AND last IS NOT NULL",
        (period,))}


def coverage_first(con: sqlite3.Connection, period: str) -> list[tuple[str, int]]:
    """(security, first stored key) of every security with bars of `period`."""
    return con.execute("SELECT symbol, first FROM coverage WHERE period = ? AND first IS NOT "
                       "NULL", (period,)).fetchall()


def coverage_of(con: sqlite3.Connection, period: str, symbol: str) -> Any:
    """(first, last, bars) of a security's coverage, or None."""
    return con.execute("SELECT first, last, bars FROM coverage WHERE period=? AND symbol=?",
                       (period, symbol)).fetchone()


def listed_counts(con: sqlite3.Connection) -> dict[int, int]:
    """The number of securities each market's stored list holds."""
    return dict(con.execute("SELECT market, count(*) FROM securities WHERE in_list = 1 "
                            "GROUP BY market").fetchall())


def listed_sizes(con: sqlite3.Connection) -> dict[str, tuple[int, int]]:
    """(lot size, price decimals) of every stored security, by symbol: as the latest security
    list gave them (0 where it gave none)."""
    return {sym: (volunit or 0, point or 0) for sym, volunit, point in con.execute(
        "SELECT symbol, volunit, decimal_point FROM securities")}


def listed_codes(con: sqlite3.Connection, market: int) -> list[str]:
    return [r[0] for r in con.execute("SELECT code FROM securities WHERE market=? AND "
                                      "in_list=1 ORDER BY code", (market,))]


def event_counts(con: sqlite3.Connection) -> dict[str, int]:
    """The number of stored ex-rights events by security."""
    return dict(con.execute("SELECT symbol, count(*) FROM xdxr GROUP BY symbol").fetchall())


def finance_symbols(con: sqlite3.Connection) -> set[str]:
    return {r[0] for r in con.execute("SELECT symbol FROM finance")}


def failed_tables(con: sqlite3.Connection) -> set[str]:
    """The securities whose events or finance record the latest syncs could not get."""
    return {r[0] for r in con.execute("SELECT symbol FROM failures WHERE part IN "
                                      "('xdxr', 'finance')")}


def calendar_days(con: sqlite3.Connection) -> set[int]:
    return {r[0] for r in con.execute("SELECT date FROM calendar")}


def day_before(con: sqlite3.Connection, day: int) -> int | None:
    """The stored trading day before `day` (YYYYMMDD), if any."""
    row = con.execute("SELECT max(date) FROM calendar WHERE date < ?", (day,)).fetchone()
    return row[0] if row and row[0] else None


def closes_before(con: sqlite3.Connection, period: str, today: int) -> dict[str, int]:
    """The close of every security's last stored bar before `today`, by symbol: one query
    over the block of each security's last bar (the block before it in the rare case that
    the last block starts on `today`)."""
    table = schema.bars_table(period)
    block = blocks.block_sql("c.last", period)

    def close_before(keys: bytes, closes: bytes) -> int | None:
        at = int(np.searchsorted(np.frombuffer(keys, "<i8"), today)) - 1
        return int(np.frombuffer(closes, "<i4")[at]) if at >= 0 else None

    out = {}
    for symbol, keys, closes in con.execute(
            f"SELECT c.symbol, b.datetime, b.close FROM coverage c JOIN {table} b "
            f"ON b.symbol = c.symbol AND b.block = {block} WHERE c.period = ?", (period,)):
        close = close_before(keys, closes)
        if close is None:
            row = con.execute(f"SELECT datetime, close FROM {table} WHERE symbol=? AND first<? "
                              f"ORDER BY block DESC LIMIT 1", (symbol, today)).fetchone()
            close = close_before(*row) if row is not None else None
        if close is not None:
            out[symbol] = close
    return out
