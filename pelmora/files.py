"""Local TDX bar files, and whole TDX data folders, as pandas DataFrames.

The files are read by native code straight into columns (never through per-row Python
objects), without the interpreter lock. The frames have the shape of `HQ.bars` and
`HQ.bars_many`, in the same units:

- index ``datetime``: naive exchange-local (Beijing) times, daily bars at midnight of their
  day, minute bars at the minute they end (09:31 is the bar of 09:30-09:31). A record whose
  date is not a calendar date (or time not a clock time) gets NaT.
- ``open``, ``high``, ``low``, ``close``: ``.day`` files store whole units of the security's
  last decimal, whose count (``decimal_point``) `pelmora.instruments.kind_of` gives for the
  code in the file's name (``sh510300.day``: a fund, three decimals); ``price_decimals=``
  overrides it for a file whose name says nothing. Prices are divided, not multiplied by a
  coefficient, so 35 hundredths read as 0.35 exactly as ``HQ`` gives it. ``.lc1`` / ``.lc5``
  files store prices as singles; they are rounded to the security's decimals (as its file
  name tells them; the thousandth for a name of no security), so a stored 10.01 reads as 10.01
  and not as the single's 10.010000228881836, and 18948.22 not as 18948.221.
- ``volume``: in ``HQ``'s unit. The files count it already, except indices', which count
  lots (their share counts do not fit 32 bits): these pass `pelmora.units.to_units` with the
  index's lot size.
- ``amount``: the stored single widened exactly.

Units: see docs/units.md.

Files are read with read() in 64 KiB chunks, never mapped: a file truncated while it is read
gives fewer rows, never a crash. A FIFO, device or directory is refused at once (it is opened
without blocking and only a regular file is read). A file whose first records are of another
kind than the one read, or than its name says (daily records in ``x.lc1``, minute records read
by `read_day_frame`), is refused with a ValueError saying what its records are: read as the
other kind they would give garbage prices. Every error names the file.
"""
from __future__ import annotations

import os
import re
import warnings
from typing import TYPE_CHECKING, Any, Callable, Iterable, Literal, Optional, Union, overload

from . import frames
from .arrow import ArrowBars, Output, block_columns, check_output, deliver, long_bars
from .exceptions import DataWarning
from .fetch import BarResult, raise_first
from .dates import DateLike, bound
from .limits import MAX_PRICE_DECIMALS
from .progress import Bar
from .instruments import INDEX, kind_of
from .symbols import SH, SZ, Symbol, SymbolLike, many, parse_symbol, period_name

if TYPE_CHECKING:
    import pandas as pd

PathLike = Union[str, "os.PathLike[str]"]
ProgressLike = Union[None, bool, Callable[[int, int], object]]

# Where each period's files are kept in a market folder (vipdoc/sh, vipdoc/sz), and their
# extension. Five-minute files live in fzline; some installations keep them in minline too.
PERIOD_FILES = {
    "day": (("lday",), ".day"),
    "1m": (("minline",), ".lc1"),
    "5m": (("fzline", "minline"), ".lc5"),
}
_MARKET_DIRS = (("sh", SH), ("sz", SZ))
_FILE_NAME = re.compile(r"(sh|sz)(\d{6})\.(day|lc1|lc5)", re.IGNORECASE)
_THREADS = 2  # 1.2-1.3x faster on 2 free cores, as fast as one under load (bench_local)


def price_divisor(symbol: Optional[Symbol], decimals: Optional[int] = None) -> float:
    """What a ``.day`` file's integer prices are divided by to give prices: 10**decimals when
    given, else 10 to the decimals of the security's type (`pelmora.instruments.kind_of`:
    1000 for funds and bonds, 100 for stocks and indices), 100 for a file of no security."""
    if decimals is not None:
        if isinstance(decimals, bool) or not isinstance(decimals, int) or not 0 <= decimals <= MAX_PRICE_DECIMALS:
            raise ValueError(f"price_decimals must be an integer 0-{MAX_PRICE_DECIMALS}, "
                             f"not {decimals!r}")
        return float(10 ** decimals)
    if symbol is None:
        return 100.0
    return float(10 ** kind_of(symbol.market, symbol.code).decimal_point)


def file_volunit(symbol: Optional[Symbol]) -> int:
    """The units a file's volume counts: 1 (shares, bonds), or an index's lot size, its files
    counting lots."""
    if symbol is None:
        return 1
    kind = kind_of(symbol.market, symbol.code)
    return kind.volunit if kind.type == INDEX else 1


def _in_units(bars: frames.Bars, volunits: list[int], rows: Any) -> frames.Bars:
    """Bars read from files of the securities whose files count `volunits` units (`rows[i]`
    rows of the i-th), their volumes in units."""
    if all(v == 1 for v in volunits):
        return bars
    import numpy as np
    from .units import to_units
    volume = bars.values[frames.PRICE_COLUMNS.index("volume")]
    ends = np.cumsum(rows)
    # In place, and only the files that count lots (indices', a few in a folder): the batch
    # was read by this call and nothing else sees it.
    for i in np.flatnonzero(np.asarray(volunits) != 1).tolist():
        part = slice(int(ends[i] - rows[i]), int(ends[i]))
        volume[part] = to_units(volume[part], volunits[i])
    return bars


def _decimals(symbol: Optional[Symbol]) -> int:
    """The decimals of a file's prices, told by its name (a name of no security: 3)."""
    return 3 if symbol is None else kind_of(symbol.market, symbol.code).decimal_point


def minute_step(symbol: Optional[Symbol]) -> float:
    """What a minute file's single-precision prices are rounded to, as 1 / step: the
    security's decimals, the thousandth at most (what a single holds of a price in the
    thousands)."""
    return float(10 ** min(_decimals(symbol), 3))


def symbol_of_file(path: PathLike) -> Optional[Symbol]:
    """The security a TDX file name stands for (``sh600036.day``), or None."""
    m = _FILE_NAME.fullmatch(os.path.basename(os.fspath(path)))
    if m is None:
        return None
    return Symbol(SH if m.group(1).lower() == "sh" else SZ, m.group(2))


def _bound(value: DateLike | None, name: str, end: bool) -> Optional[int]:
    ts = bound(value, name, end)
    return None if ts is None else int(ts.astype("int64"))


def _bounds(start: DateLike | None, end: DateLike | None) -> tuple[Optional[int], Optional[int]]:
    lo, hi = _bound(start, "start", False), _bound(end, "end", True)
    if lo is not None and hi is not None and hi < lo:
        raise ValueError(f"end {end!r} is before start {start!r}")
    return lo, hi


def _adjusted(frame: pd.DataFrame, adjust: Optional[str], events: Any) -> pd.DataFrame:
    if adjust is None:
        return frame
    if events is None:
        raise ValueError("adjust= needs the ex-rights events: events= from HQ.xdxr, "
                         "xdxr_frame() or a stored table")
    from .adjust import adjust as adjust_bars  # type: ignore[import-not-found,unused-ignore]
    return adjust_bars(frame, events, adjust)


def between(frame: pd.DataFrame, start: DateLike | None, end: DateLike | None) -> pd.DataFrame:
    """The rows of a frame of this module within `start` / `end`, as the readers keep them."""
    lo, hi = _bounds(start, end)
    if lo is None and hi is None:
        return frame
    import numpy as np
    times = np.asarray(frame.index.values).astype("datetime64[s]").astype(np.int64)
    keep = np.ones(len(frame), bool)
    if lo is not None:
        keep &= times >= lo
    if hi is not None:
        keep &= times <= hi
    return frame[keep]


def _read_one(path: PathLike, divisor: Optional[float], start: DateLike | None,
              end: DateLike | None) -> frames.Bars:
    """The bars of a ``.day`` file whose prices are divided by `divisor`, or with None of a
    minute file."""
    from . import _engine
    lo, hi = _bounds(start, end)
    symbol = symbol_of_file(path)
    step = minute_step(symbol) if divisor is None else divisor
    batch = _engine.read_bar_files([os.fspath(path)], [step], lo, hi, minute=divisor is None)
    raise_first(batch.errors())
    bars = BarResult(batch).bars()
    return _in_units(bars, [file_volunit(symbol)], [len(bars)])


def read_day_frame(path: PathLike, *, start: DateLike | None = None,
                   end: DateLike | None = None, price_decimals: Optional[int] = None,
                   adjust: Optional[str] = None, events: Any = None) -> pd.DataFrame:
    """The bars of one ``.day`` file as a frame like ``HQ.bars(..., period="day")`` (see the
    module for the units). `start` / `end` keep only bars within them (a date alone as `end`
    takes in that day). The price scale comes from the file's name, or `price_decimals`.
    `adjust` (``"qfq"``, ``"hfq"``, ...) with `events` (``HQ.xdxr``, `xdxr_frame`, or a
    stored table) returns adjusted prices through `pelmora.adjust.adjust`, as the whole file
    is adjusted, whatever `start` and `end`.

    FileNotFoundError when the path does not exist; OSError naming the path when it cannot be
    read or is not a regular file (a directory, a FIFO); ValueError naming it when its records
    are not daily bars, or its name says they are minute bars (``.lc1``, ``.lc5``).

    Units: see the units table in the docs (docs/units.md).
    """
    divisor = price_divisor(symbol_of_file(path), price_decimals)
    if adjust is None:
        return frames.bars_frame(_read_one(path, divisor, start, end))
    # Later events and earlier closes count whatever the window: the whole file is adjusted.
    bars = _adjusted(frames.bars_frame(_read_one(path, divisor, None, None)), adjust, events)
    return between(bars, start, end)


def read_minute_frame(path: PathLike, *, start: DateLike | None = None,
                      end: DateLike | None = None, adjust: Optional[str] = None,
                      events: Any = None) -> pd.DataFrame:
    """The bars of one ``.lc1`` or ``.lc5`` file as a frame like ``HQ.bars(..., period="1m")``
    (see the module for the units); arguments and failures as `read_day_frame`'s (a file of
    daily records, or named ``.day``, is refused).

    Units: see the units table in the docs (docs/units.md).
    """
    if adjust is None:
        return frames.bars_frame(_read_one(path, None, start, end))
    bars = _adjusted(frames.bars_frame(_read_one(path, None, None, None)), adjust, events)
    return between(bars, start, end)


def _market_folders(folder: PathLike) -> list[tuple[str, int]]:
    """The market folders (vipdoc/sh, vipdoc/sz) under `folder`: a vipdoc folder itself, or
    the installation folder holding it."""
    root = os.fspath(folder)
    if not os.path.isdir(root):
        raise FileNotFoundError(f"TDX data folder not found: {root}")
    for base in (root, os.path.join(root, "vipdoc")):
        found = [(os.path.join(base, name), market) for name, market in _MARKET_DIRS
                 if os.path.isdir(os.path.join(base, name))]
        if found:
            return found
    raise FileNotFoundError(f"{root}: no TDX data here (expected vipdoc/sh or vipdoc/sz, or the "
                            f"sh and sz folders of a vipdoc folder)")


def find_files(folder: PathLike, period: str = "day") -> dict[Symbol, str]:
    """Every file of `period` (``"day"``, ``"1m"``, ``"5m"``) in a TDX data folder, by the
    security its name stands for. Names of other markets (bj) or of no security are skipped.
    `period` by any name `HQ.bars` takes (pandas' ``"D"``, ``"5min"``, ``"min"`` too)."""
    try:
        period = period_name(period)
    except ValueError:
        pass  # refused below, with the periods the files hold
    if period not in PERIOD_FILES:
        raise ValueError(f"invalid period {period!r}: expected one of {', '.join(PERIOD_FILES)}")
    subdirs, ext = PERIOD_FILES[period]
    out: dict[Symbol, str] = {}
    for market_dir, market in _market_folders(folder):
        for sub in subdirs:
            try:
                entries = os.scandir(os.path.join(market_dir, sub))
            except (FileNotFoundError, NotADirectoryError):
                continue
            with entries:
                for entry in entries:
                    if not entry.name.lower().endswith(ext):
                        continue
                    sym = symbol_of_file(entry.name)
                    if sym is not None and sym.market == market:
                        out.setdefault(sym, entry.path)
    return out


def _progress_callback(progress: ProgressLike) -> Optional[Callable[[int, int], object]]:
    if progress is None or progress is False:
        return None
    if progress is True:
        return Bar("files", always=True)
    if not callable(progress):
        raise TypeError(f"progress must be None, a bool or a callable, not {progress!r}")
    return progress


@overload
def read_vipdoc(folder: PathLike, period: str = ..., *,
                symbols: SymbolLike | Iterable[SymbolLike] | None = ...,
                start: DateLike | None = ..., end: DateLike | None = ...,
                adjust: Optional[str] = ..., events: Any = ...,
                errors: Literal["warn", "raise"] = ..., progress: ProgressLike = ...,
                threads: Optional[int] = ..., price_decimals: Optional[int] = ...,
                output: Literal["arrow"]) -> ArrowBars: ...


@overload
def read_vipdoc(folder: PathLike, period: str = ..., *,
                symbols: SymbolLike | Iterable[SymbolLike] | None = ...,
                start: DateLike | None = ..., end: DateLike | None = ...,
                adjust: Optional[str] = ..., events: Any = ...,
                errors: Literal["warn", "raise"] = ..., progress: ProgressLike = ...,
                threads: Optional[int] = ..., price_decimals: Optional[int] = ...,
                output: Literal["pandas", "polars", "pyarrow"] = ...) -> Any: ...


def read_vipdoc(folder: PathLike, period: str = "day", *,
                symbols: SymbolLike | Iterable[SymbolLike] | None = None,
                start: DateLike | None = None,
                end: DateLike | None = None, adjust: Optional[str] = None, events: Any = None,
                errors: Literal["warn", "raise"] = "raise", progress: ProgressLike = None,
                threads: Optional[int] = None,
                price_decimals: Optional[int] = None, output: Output = "pandas") -> Any:
    """Every security's bars in a TDX data folder as one long frame, in the shape of
    ``HQ.bars_many``: the index and columns of `read_day_frame` plus a categorical ``symbol``
    column (``sh600036``) and after it the categorical ``type`` of each
    (`pelmora.instruments.kind_of`), securities in the order of `symbols`, or sorted by
    name.

    `folder`: the ``vipdoc`` folder or the TDX installation folder holding it. `period`:
    ``"day"`` (``*/lday/*.day``), ``"1m"`` (``*/minline/*.lc1``) or ``"5m"``
    (``*/fzline/*.lc5``), or pandas' names for them (``"D"``, ``"min"``, ``"5min"``).
    `symbols`: only these securities (names as users write them; one name is one security);
    those without a file are named in a `DataWarning` and ``frame.attrs["missing"]``.

    `start` / `end` are applied while reading: rows outside them are never stored, so memory
    follows the rows kept, not the folder's size (a whole minute folder can be tens of GB);
    each reading thread holds one 64 KiB buffer besides. `adjust` with `events` (a frame with
    a ``symbol`` column, as ``HQ.xdxr`` gives for many securities) adjusts each security by its
    own events through `pelmora.adjust.adjust`. Unlike `read_day_frame`, it adjusts the rows
    kept: with `start` or `end`, an event's reference close outside them is not seen, so for
    adjusted prices equal to the whole history's, read without bounds (or a file at a time).

    A file that cannot be read raises (OSError naming it), or with ``errors="warn"`` is left
    out and named in a `DataWarning` and ``frame.attrs["errors"]``. `progress`: none (None,
    the default, or False), a bar on standard error (True; `pelmora.progress.Bar`), or a
    callable taking (files done, files in all). `threads`: reading threads (default 2).
    `price_decimals`: the decimals of every ``.day`` file's prices, for a folder whose funds
    are quoted to the cent like its stocks (by default each file's type decides, see the
    module). Raises FileNotFoundError when no file matches. `output`: ``"pandas"`` (the
    frame), ``"arrow"`` (a `pelmora.ArrowBars` over the columns as read, built without
    pandas), ``"polars"`` or ``"pyarrow"``, as for ``HQ.bars_many``.

    Units: see the units table in the docs (docs/units.md).
    """
    from . import _engine
    if errors not in ("warn", "raise"):
        raise ValueError(f"errors must be 'warn' or 'raise', not {errors!r}")
    check_output(output)
    lo, hi = _bounds(start, end)
    found = find_files(folder, period)
    period = period_name(period)
    missing: list[str] = []
    if symbols is None:
        chosen = sorted(found, key=lambda s: s.canonical)
    else:
        chosen = []
        for sym in dict.fromkeys(parse_symbol(value) for value in many(symbols)):
            if sym in found:
                chosen.append(sym)
            else:
                missing.append(sym.canonical)
    if not chosen:
        what = f" for {', '.join(missing)}" if missing else ""
        raise FileNotFoundError(f"{os.fspath(folder)}: no {period} files{what}")
    paths = [found[s] for s in chosen]
    minute = period != "day"
    divisors = [minute_step(s) if minute else price_divisor(s, price_decimals) for s in chosen]
    # polars keeps no seconds: for it the times are read in milliseconds, which it takes as
    # they are.
    straight = output != "pandas" and adjust is None
    unit: Literal["s", "ms"] = "ms" if straight and output == "polars" else "s"
    batch = _engine.read_bar_files(paths, divisors, lo, hi, threads or _THREADS,
                                   _progress_callback(progress), unit == "ms", minute)
    if errors == "raise":
        raise_first(batch.errors())
    failed = dict(batch.errors())
    result = BarResult(batch)
    rows = result.rows()
    bars = result.bars()
    bars = _in_units(bars, [file_volunit(s) for s in chosen], rows)
    names = [s.canonical for s in chosen]
    types = [kind_of(s.market, s.code).type for s in chosen]
    attrs: dict[str, Any] = {"errors": {names[i]: f"{type(e).__name__}: {e}" for i, e in failed.items()},
             "missing": missing}
    if failed:
        listing = "; ".join(f"{k} ({v})" for k, v in attrs["errors"].items())
        warnings.warn(f"{len(failed)} of {len(chosen)} files failed: {listing}", DataWarning,
                      stacklevel=2)
    if missing:
        warnings.warn(f"no {period} file for {', '.join(missing)}", DataWarning, stacklevel=2)
    if straight:
        # Every column is the batch's own memory: the units above changed it in place.
        return deliver(long_bars(bars.times.view("i8"), block_columns(bars.values), names,
                                 rows, types, attrs, unit), output)
    frame = frames.long_frame(bars, names, rows.tolist())
    frames.insert_types(frame, types)
    frame.attrs.update(attrs)
    frame = _adjusted(frame, adjust, events)
    return frame if output == "pandas" else deliver(ArrowBars.from_frame(frame), output)


__all__ = ["read_day_frame", "read_minute_frame", "read_vipdoc", "find_files",
           "price_divisor", "file_volunit", "symbol_of_file", "PERIOD_FILES"]
