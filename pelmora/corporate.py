"""Ex-rights records and finance summaries from engine tables, as the frames of
`pelmora.adjust.xdxr_frame` and `pelmora.adjust.finance_frame`."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Sequence

from .symbols import Symbol
from .fetch import TableQuery

if TYPE_CHECKING:
    import pandas as pd

_XDXR_INTS = ("year", "month", "day", "category")


def query(sym: Symbol) -> TableQuery:
    return TableQuery.of(sym)


def xdxr_frames(batch: Any, syms: Sequence[Symbol]) -> dict[Symbol, pd.DataFrame]:
    """The events of each security of a batch of one xdxr request per security (those whose
    request failed are left out)."""
    from .adjust import VALUE_KEYS, xdxr_columns_frame
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


def finance_frame(batch: Any, sym: Symbol) -> pd.DataFrame:
    """The one-row frame of a finance request's table (no rows when the server had none)."""
    return finance_frames(batch, [sym])[sym]


def finance_frames(batch: Any, syms: Sequence[Symbol]) -> dict[Symbol, pd.DataFrame]:
    """The finance frame of each security of a batch of one finance request per security
    (those whose request failed are left out)."""
    from .adjust import finance_frame as from_record
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
            out[sym] = from_record({})
            continue
        row = int(edges[i])
        record: dict[str, Any] = {"market": sym.market, "code": sym.code}
        for name in order:
            if name in data:
                value = data[name][row]
                record[name] = value if isinstance(value, str) else value.item()
        out[sym] = from_record(record)
    return out
