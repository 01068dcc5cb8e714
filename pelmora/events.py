"""Ex-rights events and finance summaries as frames: from the records of ``TdxClient`` and
from the engine's tables that `HQ` fetches, the same frames either way."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Iterable, Mapping, Sequence

from .fetch import TableResult
from .records import XDXR_CONSOLIDATION, XDXR_DIVIDEND, XDXR_VALUES as VALUE_KEYS, XDXR_WARRANT
from .symbols import MARKET_NAMES, Symbol

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pandas as pd

    FloatArray = npt.NDArray[np.float64]
    IntArray = npt.NDArray[np.int64]

Frame = Any  # a pandas DataFrame; pandas ships no type information of its own

# Values that travel as 32-bit floats (see `single_decimal`); share counts do not.
SINGLE_KEYS = XDXR_DIVIDEND + XDXR_CONSOLIDATION + XDXR_WARRANT
_XDXR_INTS = ("year", "month", "day", "category")


def xdxr_frame(records: Iterable[Mapping[str, Any]]) -> Frame:
    """The ex-rights records of ``TdxClient.get_xdxr_info`` as a frame, oldest first.

    Index: ``date`` (a DatetimeIndex of datetime64[s]; NaT where a record's date is not a
    calendar date).
    Columns: ``category`` (int), ``name`` (the category's name as the record gives it, such as
    除权除息 for 1 or 扩缩股 for 11), then the values, NaN where the category has none:

    - ``fenhong``: cash dividend;
    - ``peigujia``: rights issue price;
    - ``songzhuangu``: bonus and transferred shares;
    - ``peigu``: rights shares;
    - ``suogu``: categories 11 and 12, the consolidation or split;
    - ``xingquanjia``, ``fenshu``: categories 13 and 14, the warrant's exercise price and the
      warrants distributed, as the record carries them;
    - ``panqianliutong``, ``qianzongguben``, ``panhouliutong``, ``houzongguben``: tradable
      and total share capital before and after.

    English names of these columns: `pelmora.ENGLISH_NAMES`.

    Units: see the units table in the docs (docs/units.md).
    """
    import numpy as np
    rows = list(records)
    def ints(key: str) -> IntArray:
        return np.array([r[key] for r in rows], dtype=np.int64)
    values = {key: np.array([r.get(key, np.nan) for r in rows], dtype=np.float64)
              for key in VALUE_KEYS}
    return xdxr_columns_frame(ints("year"), ints("month"), ints("day"), ints("category"),
                              [str(r["name"]) for r in rows], values)


def xdxr_columns_frame(year: IntArray, month: IntArray, day: IntArray, category: IntArray,
                       names: list[str], values: Mapping[str, FloatArray]) -> Frame:
    """The frame of `xdxr_frame` from the records' fields as columns (`values` by key of
    VALUE_KEYS, NaN where a record has none).

    Units: see the units table in the docs (docs/units.md).
    """
    import numpy as np
    import pandas as pd
    numbers = [f"{y:04d}{m:02d}{d:02d}"
               for y, m, d in zip(year.tolist(), month.tolist(), day.tolist())]
    dates = pd.to_datetime(pd.Series(numbers, dtype=object), format="%Y%m%d", errors="coerce")
    columns: dict[str, Any] = {"category": np.asarray(category, dtype=np.int64), "name": names}
    for key in VALUE_KEYS:
        columns[key] = np.asarray(values[key], dtype=np.float64)
    for key in SINGLE_KEYS:
        columns[key] = single_decimal(columns[key])
    # Seconds, the unit of every datetime pelmora gives (pandas would pick its own).
    index = pd.DatetimeIndex(dates, name="date").as_unit("s")
    frame = pd.DataFrame(columns, index=index)
    return frame.sort_index(kind="stable")


def finance_frame(record: Mapping[str, Any]) -> Frame:
    """The finance summary of ``TdxClient.get_finance_info`` as a one-row frame indexed by the
    security (``symbol``, such as ``sh600036``); no rows for the empty answer of a code the
    server does not know. ``updated_date`` and ``ipo_date`` become datetime64[s] dates (NaT for
    0); share counts and money as the client returns them, ``gudongrenshu`` the number of
    shareholders and ``meigujingzichan`` the net assets per share. English names of the
    columns: `pelmora.ENGLISH_NAMES`.

    Units: see the units table in the docs (docs/units.md).
    """
    import pandas as pd
    if not record:
        return pd.DataFrame(index=pd.Index([], name="symbol", dtype=object))
    symbol = MARKET_NAMES.get(record["market"], str(record["market"])) + str(record["code"])
    row = {k: v for k, v in record.items() if k not in ("market", "code")}
    dates = ("updated_date", "ipo_date")
    for key in dates:
        row[key] = pd.to_datetime(str(row[key]), format="%Y%m%d", errors="coerce")
    frame = pd.DataFrame([row], index=pd.Index([symbol], name="symbol"))
    return frame.astype({key: "datetime64[s]" for key in dates})


def single_decimal(values: FloatArray) -> FloatArray:
    """Values that travelled as 32-bit floats as their shortest decimal: 0.237 arrives as
    0.2370000034570694, and what the issuer announced (and the exchange computed its reference
    price from) is 0.237."""
    import numpy as np
    return np.asarray(values, dtype=np.float64).astype(np.float32).astype(str).astype(np.float64)


def xdxr_frames(batch: TableResult, syms: Sequence[Symbol]) -> dict[Symbol, pd.DataFrame]:
    """The events of each security of a batch of one xdxr request per security (those whose
    request failed are left out)."""
    data = batch.columns(_XDXR_INTS + VALUE_KEYS + ("name",))
    failed = {i for i, _ in batch.errors()}
    edges = batch.bounds()
    out = {}
    for i, sym in enumerate(syms):
        if i in failed:
            continue
        rows = slice(int(edges[i]), int(edges[i + 1]))
        year, month, day, category = (data[k][rows] for k in _XDXR_INTS)
        out[sym] = xdxr_columns_frame(year, month, day, category, data["name"][rows],
                                      {k: data[k][rows] for k in VALUE_KEYS})
    return out


def finance_frames(batch: TableResult, syms: Sequence[Symbol]) -> dict[Symbol, pd.DataFrame]:
    """The finance frame of each security of a batch of one finance request per security
    (those whose request failed are left out)."""
    failed = {i for i, _ in batch.errors()}
    edges = batch.bounds()
    names = batch.names()
    data = batch.columns(names)
    order = ["liutongguben", "province", "industry", "updated_date", "ipo_date"]
    order += [n for n in names if n not in order]
    out = {}
    for i, sym in enumerate(syms):
        if i in failed:
            continue
        if edges[i + 1] == edges[i]:
            out[sym] = finance_frame({})
            continue
        row = int(edges[i])
        record: dict[str, Any] = {"market": sym.market, "code": sym.code}
        for name in order:
            if name in data:
                value = data[name][row]
                record[name] = value if isinstance(value, str) else value.item()
        out[sym] = finance_frame(record)
    return out
