"""ArrowTable: columns handed to pyarrow, polars and duckdb through the Arrow PyCapsule
interface, numeric buffers without a copy, and the exported memory kept alive by whatever
consumer still holds a part of it."""
import ctypes
import gc
import sys
import threading

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
        "datetime": ("timestamp[s]", (np.arange(ROWS) + 1_700_000_000).astype("M8[s]"), None),
        "seconds": ("timestamp[s]", np.arange(ROWS, dtype=np.int64) * 60, None),
        "millis": ("timestamp[ms]", np.arange(ROWS, dtype=np.int64) * 1500 + 1_700_000_000_000,
                   None),
        "code": ("dictionary", rng.integers(0, 3, ROWS, dtype=np.int8), ["sh", "sz", "bj"]),
        "code16": ("dictionary", rng.integers(0, 2, ROWS, dtype=np.int16), ["", "长江"]),
        "code32": ("dictionary", rng.integers(0, 2, ROWS, dtype=np.int32), ["a", "b"]),
        "name": ("utf8", [f"名{i}" * (i % 3) for i in range(ROWS)], None),
    }


def table(data, **kw):
    return ArrowTable([(name, *column) for name, column in data.items()], **kw)


def expected(data):
    """The columns as Python values, as each consumer should read them back."""
    out = {}
    for name, (kind, values, dictionary) in data.items():
        if kind == "dictionary":
            out[name] = [dictionary[c] for c in values]
        elif kind == "utf8":
            out[name] = list(values)
        elif kind.startswith("timestamp"):
            unit = kind[len("timestamp["):-1]
            out[name] = list(np.asarray(values).astype(f"M8[{unit}]").astype("M8[us]")
                             .astype(object))
        else:
            out[name] = values.tolist()
    return out


def same(got, want):
    """Column-wise equality where NaN equals NaN."""
    assert got.keys() == want.keys()
    for name in want:
        assert [None if v != v else v for v in got[name]] == \
            [None if v != v else v for v in want[name]], name


@pytest.mark.parametrize("chunk_rows", [0, 3, 100])
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


@pytest.mark.parametrize("missing", [[], [0], [5, 6, 299, 600], [1023]])
@pytest.mark.parametrize("kind", ["timestamp[s]", "timestamp[ms]"])
def test_missing_times_are_nulls(kind, missing):
    # NaT, the least int64, is no time: read as one, it is a date 292 billion years back, or an
    # overflow where a consumer converts units. Rows are checked in blocks of 256.
    times = np.arange(1024, dtype=np.int64) + 1_700_000_000
    times[missing] = np.iinfo(np.int64).min
    t = ArrowTable([("t", kind, times, None)], chunk_rows=7)  # slices off a byte's bounds
    column = pa.table(t)["t"]
    assert column.null_count == len(missing)
    assert [i for i, v in enumerate(column.to_pylist()) if v is None] == missing
    assert pl.DataFrame(t)["t"].is_null().arg_true().to_list() == missing
    assert duckdb.sql("select count(*) from t where t is null").fetchall() == [(len(missing),)]
    kept = np.delete(times, missing)
    assert column.drop_null().cast(pa.int64()).to_pylist() == kept.tolist()


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
            # to_numpy(allow_copy=False) refuses rather than copy: the view is polars' memory;
            # milliseconds polars takes as they are.
            assert address(frame[name].to_numpy(allow_copy=False)) == base, name


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


# The structs of the Arrow C data interface, as far as these tests reach into them.
RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p)  # ctypes drops the lock around the call


class CSchema(ctypes.Structure):
    _fields_ = [("format", ctypes.c_char_p), ("name", ctypes.c_char_p),
                ("metadata", ctypes.c_char_p), ("flags", ctypes.c_int64),
                ("n_children", ctypes.c_int64), ("children", ctypes.c_void_p),
                ("dictionary", ctypes.c_void_p), ("release", ctypes.c_void_p),
                ("private_data", ctypes.c_void_p)]


class CArray(ctypes.Structure):
    _fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64),
                ("offset", ctypes.c_int64), ("n_buffers", ctypes.c_int64),
                ("n_children", ctypes.c_int64), ("buffers", ctypes.c_void_p),
                ("children", ctypes.c_void_p), ("dictionary", ctypes.c_void_p),
                ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p)]


class CStream(ctypes.Structure):
    _fields_ = [("get_schema", ctypes.c_void_p), ("get_next", ctypes.c_void_p),
                ("get_last_error", ctypes.c_void_p), ("release", ctypes.c_void_p),
                ("private_data", ctypes.c_void_p)]


GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
capsule_pointer.restype = ctypes.c_void_p
capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def struct_of(capsule, kind, name):
    return kind.from_address(capsule_pointer(capsule, name))


def release_twice(struct):
    """Calls the struct's release as a consumer would, then once more, as a faulty one might:
    the second call sees release null and must do nothing."""
    release = RELEASE(struct.release)
    release(ctypes.addressof(struct))
    assert struct.release is None
    release(ctypes.addressof(struct))
    assert struct.release is None


class Capsules:
    """Hands an exported capsule to a consumer, as an object of the PyCapsule interface."""
    def __init__(self, stream=None, array=None):
        self.stream, self.array = stream, array

    def __arrow_c_stream__(self, requested_schema=None):
        return self.stream

    def __arrow_c_array__(self, requested_schema=None):
        return self.array


@pytest.fixture
def owned():
    """(columns, their values as read back, the numpy arrays' reference counts before)."""
    data = {"close": ("float64", np.linspace(0, 1, ROWS), None),
            "code": ("dictionary", np.arange(ROWS, dtype=np.int16) % 2, ["sh", "sz"]),
            "name": ("utf8", [str(i) for i in range(ROWS)], None)}
    return data, expected(data), {n: sys.getrefcount(d[1]) for n, d in data.items()}


def refcounts(data):
    return {n: sys.getrefcount(d[1]) for n, d in data.items()}


def test_exports_outlive_the_table_and_its_arrays(owned):
    data, want, before = owned
    t = table(data, chunk_rows=4)
    stream, arrays, read = t.__arrow_c_stream__(), pa.table(t), pa.record_batch(t).column(0)
    assert refcounts(data)["close"] > before["close"]
    del t, data, owned  # only the exports hold the numbers now
    gc.collect()
    same({n: arrays.column(n).to_pylist() for n in want}, want)
    assert read.to_pylist() == want["close"]
    got = pa.RecordBatchReader.from_stream(Capsules(stream=stream)).read_all()
    same({n: got.column(n).to_pylist() for n in want}, want)


@pytest.mark.parametrize("export", [
    lambda t: t.__arrow_c_stream__(),
    lambda t: t.__arrow_c_array__(),
    lambda t: t.__arrow_c_schema__(),
    lambda t: (t.__arrow_c_stream__(), pa.table(t)),
], ids=["stream", "array", "schema", "consumed"])
def test_dropped_exports_let_the_data_go(owned, export):
    data, _, before = owned
    t = table(data)
    exported = export(t)
    del t
    gc.collect()
    del exported
    gc.collect()
    assert refcounts(data) == before


def test_release_twice_and_a_stream_to_its_end(owned):
    data, _, before = owned
    t = table(data, chunk_rows=4)
    schema, array = t.__arrow_c_array__()
    stream = t.__arrow_c_stream__()
    del t
    release_twice(struct_of(schema, CSchema, b"arrow_schema"))
    assert struct_of(array, CArray, b"arrow_array").n_children == 3
    release_twice(struct_of(array, CArray, b"arrow_array"))

    s = struct_of(stream, CStream, b"arrow_array_stream")
    batch, lengths = CArray(), []
    while GET_NEXT(s.get_next)(ctypes.addressof(s), ctypes.addressof(batch)) == 0 and batch.release:
        lengths.append((batch.offset, batch.length))
        RELEASE(batch.release)(ctypes.addressof(batch))
    assert lengths == [(0, 4), (0, 4), (0, 2)]  # struct batches; their children carry the offset
    assert GET_NEXT(s.get_next)(ctypes.addressof(s), ctypes.addressof(batch)) == 0
    assert batch.release is None
    # The last of the exports, released on a thread of its own without the lock: the views are
    # let go of there, the lock taken for it.
    worker = threading.Thread(target=release_twice, args=(s,))
    worker.start()
    worker.join()
    del schema, array, stream  # capsules of released structs free only the structs
    gc.collect()
    assert refcounts(data) == before


@pytest.mark.parametrize("columns, error, message", [
    ([], ValueError, "an ArrowTable needs at least one column"),
    ([["x", "int64", np.zeros(2, np.int64), None]], TypeError,
     r"argument 'columns': expected tuples \(name, kind, data, dictionary\)"),
    ([("x", "uint64", np.zeros(2, np.int64), None)], ValueError,
     "column 'x': unknown kind 'uint64'"),
    ([("x", "dictionary", np.zeros(2, np.int8), None)], ValueError,
     "column 'x': a dictionary column needs its dictionary"),
    ([("x", "int8", np.zeros(2, np.int8), ["a"])], ValueError,
     "column 'x': only a dictionary column takes a dictionary"),
    ([("x", "float64", [1.0, 2.0], None)], TypeError,
     "column 'x': expected an object with the buffer protocol, got 'list'"),
    ([("x", "int64", np.zeros(2, np.int32), None)], TypeError,
     "column 'x': expected int64 items, got format 'i' of 4 bytes"),
    ([("x", "float64", np.zeros(2, np.int64), None)], TypeError,
     "column 'x': expected float64 items, got format 'l' of 8 bytes"),
    ([("x", "dictionary", np.zeros(2, np.uint8), ["a"])], TypeError,
     "column 'x': expected int8, int16 or int32 codes, got format 'B' of 1 bytes"),
    ([("x", "float64", np.zeros((2, 2)), None)], ValueError,
     "column 'x': data must be 1-D and C-contiguous"),
    ([("x", "float64", np.zeros(4)[::2], None)], ValueError,
     "column 'x': data must be 1-D and C-contiguous"),
    ([("x", "timestamp[s]", np.zeros(2, "M8[ms]"), None)], TypeError,
     r"column 'x': datetime64 data must be '<M8\[s\]', got '<M8\[ms\]'"),
    ([("x", "dictionary", np.array([0, 2], np.int8), ["a", "b"])], ValueError,
     r"column 'x': code at row 1 is outside the dictionary \(2 values\)"),
    ([("x", "dictionary", np.array([-1], np.int32), ["a"])], ValueError,
     r"column 'x': code at row 0 is outside the dictionary \(1 values\)"),
    # Codes are checked in blocks, then one by one after the last whole block.
    ([("x", "dictionary", np.r_[np.zeros(700, np.int16), 3, np.zeros(99, np.int16)], ["a"])],
     ValueError, r"column 'x': code at row 700 is outside the dictionary \(1 values\)"),
    ([("x", "dictionary", np.r_[np.zeros(799, np.int16), -5], ["a"])],
     ValueError, r"column 'x': code at row 799 is outside the dictionary \(1 values\)"),
    ([("x", "utf8", ["a", 1], None)], TypeError, "column 'x': expected str items, got 'int'"),
    ([("x", "utf8", 5, None)], TypeError, "column 'x': expected a sequence of str, got 'int'"),
    ([("x", "float64", np.zeros(3), None), ("y", "utf8", ["a"], None)], ValueError,
     "column 'y': 1 rows, but column 'x' has 3"),
])
def test_argument_errors(columns, error, message):
    with pytest.raises(error, match=f"^{message}$"):
        ArrowTable(columns)


def test_chunk_rows_and_requested_schema():
    t = ArrowTable([("x", "int8", np.zeros(5, np.int8), None)], chunk_rows=2**62)
    assert t.num_chunks == 1
    with pytest.raises(OverflowError):
        ArrowTable([("x", "int8", np.zeros(5, np.int8), None)], chunk_rows=-1)
    # A requested schema is accepted and the columns go out with their own types.
    assert pa.table(Capsules(stream=t.__arrow_c_stream__(pa.schema([("x", pa.int64())])))
                    ).schema.field("x").type == pa.int8()
