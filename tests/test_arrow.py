"""Bars as Arrow columns: the same bars as the pandas frames, the engine's own buffers handed to
pyarrow and polars, streamed in batches, outliving their source, and built without pandas."""
import gc
import os
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pandas as pd
import pytest

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")

import pelmora
from pelmora import HQ, ArrowBars, DataWarning, read_vipdoc
from pelmora.arrow import CHUNK_ROWS, deliver, long_bars
from pelmora.fetch import BarQuery, BarResult, TableQuery
from pelmora.store import Store, reader, sync
from pelmora.testing import SimulatedMarket, SimulatedServer
from pelmora.testing.vipdoc import write_vipdoc

SEED, FILL = 3, 8
NAMES = ["600036", "000001", "sh000001", "510300"]


@pytest.fixture(scope="module")
def server():
    with SimulatedServer(seed=SEED, fill=FILL) as s:
        yield s.address


@pytest.fixture(scope="module")
def folders(server, tmp_path_factory):
    """A vipdoc folder of the simulated market and a store synced with a few of its
    securities."""
    root = tmp_path_factory.mktemp("arrow")
    write_vipdoc(SimulatedMarket(seed=SEED, fill=FILL), root, minute_codes=())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DataWarning)
        sync(root / "store", [server], symbols=NAMES, connections=2)
    return root


def fetched(source, server, folders, **kwargs):
    """Bars of `source` with `kwargs` (output=, adjust=)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DataWarning)
        if source == "hq":
            with HQ([server], connections=2) as hq:
                return hq.bars_many(NAMES, count=900, **kwargs)
        if source == "vipdoc":
            return read_vipdoc(folders, **kwargs)
        with Store(folders / "store") as store:
            return store.bars_many(**kwargs)


def first_buffer(column):
    """The address of the data buffer of a pyarrow column's first chunk."""
    return column.chunks[0].buffers()[1].address


def address(array):
    return array.__array_interface__["data"][0]


SOURCES = ["hq", "vipdoc", "store"]


@pytest.mark.parametrize("source", SOURCES)
def test_every_output_holds_the_pandas_frames_bars(source, server, folders):
    import duckdb
    frame = fetched(source, server, folders)
    bars = fetched(source, server, folders, output="arrow")
    assert isinstance(bars, ArrowBars) and len(bars) == len(frame) > 0
    assert bars.column_names == ["datetime", *frame.columns]
    pd.testing.assert_frame_equal(bars.df(), frame)
    assert bars.attrs == frame.attrs

    table = fetched(source, server, folders, output="pyarrow")
    assert table.schema.field("datetime").type == pa.timestamp("s")
    assert pa.types.is_dictionary(table.schema.field("symbol").type)
    assert table["type"].to_pylist() == frame["type"].astype(str).tolist()
    np.testing.assert_array_equal(table["datetime"].to_numpy(), frame.index.values)
    polars = fetched(source, server, folders, output="polars")
    assert polars.columns == bars.column_names
    for name in ("close", "volume", "amount"):
        np.testing.assert_array_equal(polars[name].to_numpy(), frame[name].to_numpy())
    assert polars["symbol"].to_list() == frame["symbol"].astype(str).tolist()
    np.testing.assert_array_equal(polars["datetime"].to_numpy(), frame.index.values)

    counts = dict(duckdb.sql("select symbol, count(*) from bars group by symbol").fetchall())
    assert counts == {k: v for k, v in frame["symbol"].value_counts().items() if v}


@pytest.mark.parametrize("period", ["day", "1m"])
def test_files_read_within_bounds_for_polars_keep_their_times(period, tmp_path):
    write_vipdoc(SimulatedMarket(seed=SEED, fill=FILL), tmp_path,
                 minute_codes=((1, "600036"), (0, "000001")), minute_days=3)
    times = np.unique(read_vipdoc(tmp_path, period).index.values)
    start, end = pd.Timestamp(times[len(times) // 3]), pd.Timestamp(times[len(times) // 2])
    frame = read_vipdoc(tmp_path, period, start=start, end=end)
    polars = read_vipdoc(tmp_path, period, start=start, end=end, output="polars")
    assert polars.height == len(frame) > 0
    assert frame.index.min() == start and frame.index.max() == end
    np.testing.assert_array_equal(polars["datetime"].to_numpy(), frame.index.values)


@pytest.mark.parametrize("source", SOURCES)
def test_adjusted_bars_come_as_the_adjusted_frame(source, server, folders):
    kwargs = {}
    if source == "vipdoc":
        with HQ([server]) as hq:
            events = hq.xdxr_many(["600036", "000001"])
        kwargs["events"] = pd.concat([f.assign(symbol=s) for s, f in events.items()])
    frame = fetched(source, server, folders, adjust="qfq", **kwargs)
    bars = fetched(source, server, folders, adjust="qfq", output="arrow", **kwargs)
    pd.testing.assert_frame_equal(bars.df(), frame)
    np.testing.assert_array_equal(bars.arrow()["close"].to_numpy(), frame["close"].to_numpy())


def test_an_unknown_output_is_refused(server, folders):
    with pytest.raises(ValueError, match=r"^output must be one of 'pandas', 'arrow', 'polars', "
                                         r"'pyarrow', not 'numpy'$"):
        read_vipdoc(folders, output="numpy")


@pytest.fixture
def engine_columns(monkeypatch):
    """Records the times and close of every engine batch taken, checked to be the engine's
    memory (`Column.address`)."""
    seen = []
    taken = BarResult.bars

    def bars(self):
        got = taken(self)
        assert address(got.times) == self.batch.column("datetime").address
        seen.append({"datetime": address(got.times), "close": address(got.values[3])})
        return got
    monkeypatch.setattr(BarResult, "bars", bars)
    return seen


@pytest.mark.parametrize("source", ["hq", "vipdoc"])
def test_engine_columns_go_out_as_the_engines_memory(source, server, folders, engine_columns):
    table = fetched(source, server, folders, output="pyarrow")
    polars = fetched(source, server, folders, output="polars")
    [engine, again] = engine_columns
    assert first_buffer(table["datetime"]) == engine["datetime"]
    assert first_buffer(table["close"]) == engine["close"]
    assert polars["close"].get_chunks()[0].to_arrow().buffers()[1].address == again["close"]
    # polars keeps no seconds: its times are milliseconds in the engine's memory, which it
    # takes as they are (read so from files, converted in place from the wire).
    assert polars["datetime"].get_chunks()[0].to_arrow().buffers()[1].address == \
        again["datetime"]


def test_times_made_milliseconds_for_polars_keep_their_missing_ones():
    times = np.array([0, 1_700_000_000, np.iinfo(np.int64).min, 60], np.int64)
    bars = long_bars(times.copy(), {"close": np.arange(4.0)}, ["sh600036", "sz000001"], [3, 1],
                     ["stock", "stock"])
    frame = deliver(bars, "polars")
    assert frame["datetime"].is_null().to_list() == [False, False, True, False]
    assert frame["datetime"].dt.epoch("ms").to_list() == [0, 1_700_000_000_000, None, 60_000]
    assert frame["symbol"].to_list() == ["sh600036"] * 3 + ["sz000001"]


def test_the_stores_decoded_arrays_are_not_copied_again(server, folders, monkeypatch):
    seen = {}

    def recorded(name, make):
        def call(*args):
            seen[name] = make(*args)
            return seen[name]
        return call
    monkeypatch.setattr(reader, "key_times", recorded("times", reader.key_times))
    monkeypatch.setattr(reader.blocks, "decode", recorded("series", reader.blocks.decode))
    monkeypatch.setattr(reader, "in_yuan", recorded("prices", reader.in_yuan))
    table = fetched("store", server, folders, output="pyarrow")
    assert first_buffer(table["datetime"]) == address(seen["times"])
    assert first_buffer(table["close"]) == address(seen["prices"][3])
    assert first_buffer(table["volume"]) == address(seen["series"].flows[0])
    polars = fetched("store", server, folders, output="polars")
    assert polars["datetime"].to_arrow().buffers()[1].address == address(seen["times"])
    assert polars["close"].to_arrow().buffers()[1].address == address(seen["prices"][3])


def test_whole_markets_stream_in_batches(folders):
    bars = read_vipdoc(folders, output="arrow")
    assert len(bars) > CHUNK_ROWS
    batches = list(pa.RecordBatchReader.from_stream(bars))
    assert [b.num_rows for b in batches[:-1]] == [CHUNK_ROWS] * (len(batches) - 1)
    assert sum(b.num_rows for b in batches) == len(bars)
    # A consumer of arrays takes every row at once, over the same memory.
    whole = pa.record_batch(bars)
    assert whole.num_rows == len(bars)
    assert whole.column("close").buffers()[1].address == address(bars.column("close"))


def test_results_outlive_their_source(server, folders):
    with HQ([server]) as hq:
        polars = hq.bars_many(NAMES[:2], count=300, output="polars")
        bars = hq.bars_many(NAMES[:2], count=300, output="arrow")
        expected = bars.column("close").sum()
    with Store(folders / "store") as store:
        stored = store.bars_many(output="arrow")
    del hq, store
    gc.collect()
    assert polars["close"].sum() == pytest.approx(expected)
    assert pa.table(bars)["close"].to_numpy().sum() == pytest.approx(expected)
    assert pl.DataFrame(stored).height == len(stored) > 0


def test_raw_results_stream_their_columns(server):
    with HQ([server]) as hq:
        bars = hq.fetch.bars([BarQuery(9, 1, "600036", 0, 30, False)] * 2)
        xdxr = hq.fetch.table("xdxr", [TableQuery(1, "600036")])
    table = pa.table(bars)
    assert table.column_names == ["datetime", *pelmora.frames.PRICE_COLUMNS]
    assert first_buffer(table["datetime"]) == bars.batch.column("datetime").address
    assert first_buffer(table["open"]) == bars.batch.column("values").address
    events = pa.table(xdxr)
    assert events.column_names == xdxr.names()
    assert events.schema.field("name").type == pa.string()
    assert events["year"].to_pylist() == xdxr.columns(["year"])["year"].tolist()


NO_PANDAS = textwrap.dedent("""
    import sys

    class NoPandas:  # pandas unimportable; pyarrow breaks on None in sys.modules
        def find_spec(self, name, path=None, target=None):
            if name.partition(".")[0] == "pandas":
                raise ModuleNotFoundError("no pandas here", name=name)
    sys.meta_path.insert(0, NoPandas())

    import polars as pl
    import pyarrow as pa
    from pelmora import HQ, read_vipdoc
    from pelmora.fetch import BarResult
    from pelmora.store import Store

    server, folder = sys.argv[1:]
    taken, seen = BarResult.bars, []
    def bars(self):
        seen.append(self.batch)
        return taken(self)
    BarResult.bars = bars

    with HQ([server]) as hq:
        got = [hq.bars_many(["600036", "000001"], count=50, output="arrow")]
    got.append(read_vipdoc(folder, output="arrow"))
    with Store(folder + "/store") as store:
        got.append(store.bars_many(output="arrow"))
    for i, result in enumerate(got):
        table, frame = pa.table(result), pl.DataFrame(result)
        assert frame.height == table.num_rows == len(result) > 0
        close = frame["close"].get_chunks()[0].to_arrow().buffers()[1].address
        assert table["close"].chunks[0].buffers()[1].address == close
        if i < 2:
            values = seen[i].column("values")
            assert close == values.address + 3 * 8 * len(seen[i])
            assert table["datetime"].chunks[0].buffers()[1].address == \\
                seen[i].column("datetime").address
    with HQ([server]) as hq:
        frames = [hq.bars_many(["600036", "000001"], count=50, output="polars")]
    frames.append(read_vipdoc(folder, output="polars"))
    for frame, batch in zip(frames, seen[-2:]):
        times = frame["datetime"].get_chunks()[0].to_arrow().buffers()[1].address
        assert times == batch.column("datetime").address
    assert "pandas" not in sys.modules
    print("built without pandas")
""")


def test_arrow_outputs_need_no_pandas(server, folders):
    # The pelmora under test, wherever it was imported from; -P keeps the working directory
    # (perhaps a clone without built modules) off the child's path.
    root = os.path.dirname(os.path.dirname(os.path.abspath(pelmora.__file__)))
    env = dict(os.environ, PYTHONPATH=root)
    run = subprocess.run([sys.executable, "-P", "-c", NO_PANDAS, server, str(folders)], env=env,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "built without pandas"
