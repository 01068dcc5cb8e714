"""ArrowTable: columns handed to pyarrow, polars and duckdb through the Arrow PyCapsule
interface, numeric buffers without a copy, and the exported memory kept alive by whatever
consumer still holds a part of it."""
import numpy as np
import pytest

from pelmora._engine import ArrowTable, read_bar_files

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")
duckdb = pytest.importorskip("duckdb")

ROWS = 10


def address(array):
    return array.__array_interface__["data"][0]


@pytest.fixture
def data():
    """Columns of every kind, ROWS rows each, keyed by name: (kind, data, dictionary)."""
    rng = np.random.default_rng(5)
    return {
        "close": ("float64", np.append(rng.random(ROWS - 1), np.nan), None),
        "volume": ("int64", rng.integers(-2**40, 2**40, ROWS), None),
        "i32": ("int32", rng.integers(-2**31, 2**31, ROWS, dtype=np.int32), None),
        "i16": ("int16", rng.integers(-2**15, 2**15, ROWS, dtype=np.int16), None),
        "i8": ("int8", rng.integers(-128, 128, ROWS, dtype=np.int8), None),
        "datetime": ("timestamp[s]", np.arange(ROWS).astype("M8[s]") + 1_700_000_000, None),
        "seconds": ("timestamp[s]", np.arange(ROWS, dtype=np.int64) * 60, None),
        "code": ("dictionary", rng.integers(0, 3, ROWS, dtype=np.int8), ["sh", "sz", "bj"]),
        "code16": ("dictionary", rng.integers(0, 2, ROWS, dtype=np.int16), ["", "长江"]),
        "code32": ("dictionary", rng.integers(0, 2, ROWS, dtype=np.int32), ["a", "b"]),
        "name": ("utf8", [f"名{i}" * (i % 3) for i in range(ROWS)], None),
    }


def table(data, **kw):
    return ArrowTable([(name, *spec) for name, spec in data.items()], **kw)


def expected(data):
    """The columns as Python values, as each consumer should read them back."""
    out = {}
    for name, (kind, values, dictionary) in data.items():
        if kind == "dictionary":
            out[name] = [dictionary[c] for c in values]
        elif kind == "utf8":
            out[name] = list(values)
        elif kind == "timestamp[s]":
            out[name] = list(np.asarray(values).astype("M8[s]").astype("M8[us]").astype(object))
        else:
            out[name] = values.tolist()
    return out


def same(got, want):
    """Column-wise equality where NaN equals NaN."""
    assert got.keys() == want.keys()
    for name in want:
        assert [None if v != v else v for v in got[name]] == \
            [None if v != v else v for v in want[name]], name


@pytest.mark.parametrize("chunk_rows", [0, 3, ROWS, 100])
def test_pyarrow_reads_every_kind(data, chunk_rows):
    t = table(data, chunk_rows=chunk_rows)
    got = pa.table(t)
    assert got.num_rows == len(t) == ROWS
    assert got.column_names == t.column_names == list(data)
    assert got.schema.field("close").type == pa.float64()
    assert got.schema.field("datetime").type == pa.timestamp("s")
    for name, index in [("code", pa.int8()), ("code16", pa.int16()), ("code32", pa.int32())]:
        assert got.schema.field(name).type == pa.dictionary(index, pa.utf8(), ordered=False)
    assert got.schema.field("name").type == pa.utf8()
    assert got.column(0).num_chunks == t.num_chunks == -(-ROWS // (chunk_rows or ROWS))
    same({name: got.column(name).to_pylist() for name in data}, expected(data))
    # The struct array of __arrow_c_array__ holds the same rows in one piece.
    batch = pa.record_batch(t)
    assert batch.num_rows == ROWS and batch.column("name").to_pylist() == data["name"][1]


def test_stream_batches_are_slices_of_the_same_buffers(data):
    t = table(data, chunk_rows=4)
    batches = list(pa.RecordBatchReader.from_stream(t))
    assert [b.num_rows for b in batches] == [4, 4, 2]
    close = data["close"][1]
    for i, b in enumerate(batches):
        assert b.column("close").buffers()[1].address == address(close)
        assert b.column("close").offset == 4 * i
        assert b.column("code").dictionary.to_pylist() == ["sh", "sz", "bj"]
        assert b.column("name").to_pylist() == data["name"][1][4 * i:4 * i + 4]


def test_polars_and_duckdb_read_it(data):
    t = table(data, chunk_rows=3)
    frame = pl.DataFrame(t)
    assert frame.columns == list(data)
    assert frame["code"].to_list() == expected(data)["code"]
    assert frame["name"].to_list() == data["name"][1]
    assert frame["datetime"].to_list() == expected(data)["datetime"]
    got = duckdb.sql("select name, code, volume, close from t order by volume").fetchall()
    want = sorted(zip(data["name"][1], expected(data)["code"], data["volume"][1].tolist(),
                      data["close"][1].tolist()), key=lambda r: r[2])
    assert [r[:3] for r in got] == [r[:3] for r in want]


def test_numeric_buffers_are_not_copied(data):
    t = table(data)
    arrow_table = pa.table(t)
    frame = pl.DataFrame(t)
    for i, (name, (kind, values, _)) in enumerate(data.items()):
        if kind == "utf8":
            continue
        base = address(values.view("i8") if values.dtype.kind == "M" else values)
        assert arrow_table.column(i).chunks[0].buffers()[1].address == base, name
        if kind not in ("dictionary", "timestamp[s]"):
            # to_numpy(allow_copy=False) refuses rather than copy: the view is polars' memory.
            assert address(frame[name].to_numpy(allow_copy=False)) == base, name


def test_any_buffer_exporter_is_taken_as_it_is():
    close = np.random.default_rng(1).random(6)
    t = ArrowTable([("close", "float64", memoryview(close), None)])
    assert pa.table(t).column("close").chunks[0].buffers()[1].address == address(close)


def test_empty_table():
    batch = read_bar_files([], None)  # the engine's own Column, with no rows
    t = ArrowTable([("x", "float64", batch.column("close"), None), ("s", "utf8", [], None),
                    ("t", "timestamp[s]", batch.column("datetime"), None),
                    ("d", "dictionary", np.empty(0, np.int8), [])], chunk_rows=5)
    assert len(t) == 0 and t.num_chunks == 1
    got = pa.table(t)
    assert got.num_rows == 0 and got.column_names == ["x", "s", "t", "d"]
    assert got.schema.field("t").type == pa.timestamp("s")
    assert pl.DataFrame(t).shape == (0, 4)
