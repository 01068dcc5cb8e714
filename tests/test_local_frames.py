"""Local files and TDX data folders as frames: equal to the dict readers' records for the same
files, FIFOs and directories refused without blocking, files cut while read, the folder's
filters, and the simulated market's vipdoc folder equal to what HQ answers for it."""
import io
import os
import re
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pandas as pd
import pytest

from pelmora import HQ, DataWarning, read_daily_bars, read_day_frame, read_minute_bars, \
    read_minute_frame, read_vipdoc
from pelmora.testing import SimulatedMarket, serve
from pelmora._engine import read_bar_files
from pelmora.files import find_files
from pelmora.instruments import kind_of
from pelmora.symbols import is_index, parse_symbol
from pelmora.testing.vipdoc import write_vipdoc
from pelmora.testing.wire import quantize_volume

PRICES = ["open", "high", "low", "close"]
COLUMNS = PRICES + ["volume", "amount"]
DAY = np.dtype([("date", "<u4"), ("open", "<u4"), ("high", "<u4"), ("low", "<u4"),
                ("close", "<u4"), ("amount", "<f4"), ("volume", "<u4"), ("reserved", "<u4")])
MINUTE = np.dtype([("date", "<u2"), ("time", "<u2"), ("open", "<f4"), ("high", "<f4"),
                   ("low", "<f4"), ("close", "<f4"), ("amount", "<f4"), ("volume", "<u4"),
                   ("reserved", "<u4")])


def random_day(n, rng):
    r = np.zeros(n, DAY)
    days = pd.bdate_range("2001-01-01", periods=n)
    r["date"] = days.year * 10000 + days.month * 100 + days.day
    r["date"][::97] = 20231345  # not a calendar date: NaT
    for c in PRICES:
        r[c] = rng.integers(1, 2**32 - 1, n, dtype=np.uint32)
    r["amount"] = rng.random(n) * 1e9
    r["volume"] = rng.integers(0, 2**32 - 1, n, dtype=np.uint32)
    return r


def random_minute(n, rng):
    r = np.zeros(n, MINUTE)
    r["date"] = ((rng.integers(0, 20, n) << 11) + rng.integers(1, 13, n) * 100
                 + rng.integers(1, 29, n)).astype(np.uint16)
    r["time"] = rng.integers(0, 1440, n)
    r["time"][::89] = 1500  # 25:00, no clock time: NaT
    for c in PRICES:
        r[c] = rng.random(n) * 3000
    r["amount"] = rng.random(n) * 1e8
    r["volume"] = rng.integers(0, 2**32 - 1, n, dtype=np.uint32)
    return r


def expected_from_dicts(path, minute, divisor, lot):
    """What the frame must hold, from the dict reader's records of the same file (whose
    volumes count units of `lot`)."""
    recs = read_minute_bars(str(path)) if minute else read_daily_bars(str(path), 1, 1)
    text = [r["datetime" if minute else "date"] for r in recs]
    idx = pd.to_datetime(pd.Series(text, dtype=object), errors="coerce",
                         format="%Y-%m-%d %H:%M" if minute else "%Y-%m-%d")
    out = pd.DataFrame({c: [r[c] for r in recs] for c in COLUMNS},
                       index=pd.DatetimeIndex(idx, name="datetime").astype("M8[s]"))
    # Integer prices are divided (the nearest double to the decimal price); single-precision
    # ones rounded to the security's decimals once (`divisor` their scale).
    # Indices' files count lots, made shares.
    if minute:
        out[PRICES] = np.rint(out[PRICES] * divisor) / divisor
    else:
        out[PRICES] = out[PRICES] / divisor
    out["volume"] *= lot
    return out


@pytest.mark.parametrize("name, minute, divisor, lot", [
    ("sh600036.day", False, 100, 1), ("sz000001.day", False, 100, 1),
    ("sh000001.day", False, 100, 100), ("sz399001.day", False, 100, 100),
    ("sh510300.day", False, 1000, 1), ("sz159915.day", False, 1000, 1),
    ("sz161725.day", False, 1000, 1), ("sz184801.day", False, 1000, 1),
    ("sh113050.day", False, 1000, 1), ("sz128001.day", False, 1000, 1),   # bonds: bonds
    ("sh900901.day", False, 1000, 1), ("sz200002.day", False, 100, 1),    # B shares
    ("plain.day", False, 100, 1),
    ("sh600036.lc1", True, 100, 1), ("sz000001.lc5", True, 100, 1),
    ("sh000300.lc5", True, 100, 100), ("sh510300.lc1", True, 1000, 1),
    ("plain.lc1", True, 1000, 1),
])
def test_frames_equal_the_dict_readers(tmp_path, name, minute, divisor, lot):
    rng = np.random.default_rng(5)
    path = tmp_path / name
    data = (random_minute if minute else random_day)(3000, rng)
    path.write_bytes(data.tobytes() + b"\x01" * 17)  # a partial record at the end is ignored
    frame = (read_minute_frame if minute else read_day_frame)(path)
    pd.testing.assert_frame_equal(frame, expected_from_dicts(path, minute, divisor, lot),
                                  check_exact=True)
    assert frame.index.isna().sum() == (34 if minute else 31)


@pytest.mark.parametrize("period, folder, make", [("day", "lday", random_day),
                                                  ("1m", "minline", random_minute)])
def test_records_of_no_time_are_nulls_in_arrow(tmp_path, period, folder, make):
    pytest.importorskip("polars")
    pytest.importorskip("pyarrow")
    ext = {"day": "day", "1m": "lc1"}[period]
    (tmp_path / "sh" / folder).mkdir(parents=True)
    (tmp_path / "sh" / folder / f"sh600036.{ext}").write_bytes(
        make(500, np.random.default_rng(2)).tobytes())
    missing = read_vipdoc(tmp_path, period).index.isna()
    assert 0 < missing.sum() < len(missing)
    for output in ("polars", "pyarrow"):
        nulls = read_vipdoc(tmp_path, period, output=output)["datetime"].is_null()
        got = nulls.to_list() if output == "polars" else nulls.to_pylist()
        assert got == missing.tolist(), output


@pytest.mark.parametrize("divisor", [0.0, -100.0, float("nan"), float("inf")])
def test_the_reader_refuses_divisors_that_give_no_prices(divisor):
    for minute in (False, True):
        with pytest.raises(ValueError, match="^divisors must be positive and finite$"):
            read_bar_files(["sh600036.day"], [divisor], minute=minute)


def test_price_decimals_and_empty_files(tmp_path):
    path = tmp_path / "sh600036.day"
    rec = np.zeros(1, DAY)
    rec[0] = (20240105, 35, 36, 34, 35, 1.5, 100, 0)
    path.write_bytes(rec.tobytes())
    assert read_day_frame(path)["open"].iloc[0] == 0.35
    assert read_day_frame(path, price_decimals=3)["open"].iloc[0] == 0.035
    with pytest.raises(ValueError, match="price_decimals"):
        read_day_frame(path, price_decimals=-1)
    (tmp_path / "empty.lc1").write_bytes(b"x" * 31)
    empty = read_minute_frame(tmp_path / "empty.lc1")
    assert empty.shape == (0, 6) and list(empty.columns) == COLUMNS


def test_repeated_reads_leave_no_descriptor_or_memory_behind(tmp_path):
    path = tmp_path / "sz000001.day"
    path.write_bytes(random_day(500, np.random.default_rng(1)).tobytes())
    fds = len(os.listdir("/proc/self/fd"))

    def rounds(n):
        for _ in range(n):
            assert len(read_day_frame(path, start="2001-03-01")) < 500
            for bad in (tmp_path / "missing.day", tmp_path):
                with pytest.raises(OSError):
                    read_minute_frame(bad)
    rounds(50)
    blocks = sys.getallocatedblocks()
    rounds(300)
    assert len(os.listdir("/proc/self/fd")) == fds
    assert sys.getallocatedblocks() - blocks < 1000


def run_python(code, timeout=30):
    """Runs `code` in a fresh interpreter that imports this run's pelmora."""
    import pelmora
    root = os.path.dirname(os.path.dirname(pelmora.__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([root, os.environ.get("PYTHONPATH", "")]))
    out = subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, timeout=timeout, env=env)
    assert out.returncode == 0, out.stderr
    return out.stdout


def test_fifos_and_directories_are_refused_at_once_naming_the_path(tmp_path):
    lday = tmp_path / "vipdoc" / "sh" / "lday"
    lday.mkdir(parents=True)
    os.mkfifo(lday / "sh600000.day")
    (lday / "sh600001.day").mkdir()
    fifo, folder = lday / "sh600000.day", lday / "sh600001.day"
    out = run_python(f"""
        import warnings
        from pelmora import read_day_frame, read_minute_frame, read_vipdoc
        for call in (lambda: read_day_frame({str(fifo)!r}),
                     lambda: read_minute_frame({str(folder)!r}),
                     lambda: read_vipdoc({str(tmp_path)!r})):
            try:
                call()
            except OSError as e:
                print(type(e).__name__, e)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            frame = read_vipdoc({str(tmp_path)!r}, errors="warn")
        print(len(frame), sorted(frame.attrs["errors"]), len(caught))
    """, timeout=20)
    refused = "OSError {}: Cannot mmap file: No such device (os error 19)\n"
    assert out == (refused.format(fifo) + refused.format(folder) + refused.format(fifo)
                   + "0 ['sh600000', 'sh600001'] 1\n")


def test_missing_files_and_folders(tmp_path):
    with pytest.raises(FileNotFoundError, match=f"^File not found: {tmp_path}/sh6.day$"):
        read_day_frame(tmp_path / "sh6.day")
    with pytest.raises(FileNotFoundError, match="no TDX data here"):
        read_vipdoc(tmp_path)
    (tmp_path / "sz" / "lday").mkdir(parents=True)
    with pytest.raises(FileNotFoundError, match="no day files$"):
        read_vipdoc(tmp_path)
    with pytest.raises(ValueError, match="invalid period '15m'"):
        read_vipdoc(tmp_path, "15m")


def test_a_file_cut_while_read_gives_fewer_rows(tmp_path):
    """Another process cuts the files at random sizes and restores them while we read the folder
    over and over: the reader lives, and each security's rows are a prefix of its file's."""
    n, lday = 20000, tmp_path / "sh" / "lday"
    lday.mkdir(parents=True)
    rec = np.zeros(n, DAY)
    rec["date"] = 20240101
    rec["open"] = np.arange(n)
    paths = [lday / f"sh60000{i}.day" for i in range(2)]
    for p in paths:
        p.write_bytes(rec.tobytes())
    cutter = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import os, random, time
        paths, rng = {[str(p) for p in paths]!r}, random.Random(7)
        data = open(paths[0], "rb").read()
        fds = [os.open(p, os.O_WRONLY) for p in paths]
        while True:
            for fd in fds:
                os.ftruncate(fd, rng.randrange(len(data)))
            time.sleep(rng.random() / 1000)
            for fd in fds:
                os.pwrite(fd, data, 0)
            time.sleep(rng.random() / 1000)
    """)])
    try:
        out = run_python(f"""
            import time
            import numpy as np
            from pelmora import read_vipdoc
            short, deadline = 0, time.monotonic() + 10
            while short < 50 and time.monotonic() < deadline:
                frame = read_vipdoc({str(tmp_path)!r}, progress=False)
                for _, rows in frame.groupby("symbol", observed=True):
                    opens = rows["open"].to_numpy()
                    assert len(rows) <= {n}
                    short += len(rows) < {n}
                    # a byte that meets the cut may read as zero for a moment
                    assert ((opens == np.arange(len(rows)) / 100) | (opens == 0)).all()
            print("short reads", short)
        """, timeout=60)
    finally:
        cutter.kill()
        cutter.wait()
    assert out.startswith("short reads") and int(out.split()[-1]) > 0


# -- the simulated market's folder, compared with what HQ answers for it

SEED, FILL = 11, 20


@pytest.fixture(scope="module")
def sim_hq():
    with serve(seed=SEED, fill=FILL) as (host, port), HQ([f"{host}:{port}"], 4) as hq:
        yield hq


@pytest.fixture(scope="module")
def vipdoc(tmp_path_factory):
    root = tmp_path_factory.mktemp("tdx")
    write_vipdoc(SimulatedMarket(seed=SEED, fill=FILL), root)
    return root


@pytest.mark.parametrize("period", ["day", "1m", "5m"])
def test_the_folder_equals_what_hq_answers(sim_hq, vipdoc, period):
    frame = read_vipdoc(vipdoc, period, progress=False)
    listed = pd.concat([sim_hq.securities(m) for m in ("sh", "sz")])
    if period == "day":
        # The files hold whole units of the list's decimals, read by the range's: where they
        # differ (a market that quotes its funds to the cent), the units are read back.
        symbols = [parse_symbol(s) for s in frame["symbol"].astype(str)]
        read = np.array([kind_of(s.market, s.code).decimal_point for s in symbols])
        held = listed.loc[frame["symbol"].astype(str), "decimal_point"].to_numpy()
        frame[PRICES] = np.round(frame[PRICES].to_numpy() * 10.0 ** read[:, None]) / \
            10.0 ** held[:, None]
    rows = frame.groupby("symbol", observed=False).size()
    names = list(rows.index)
    assert names == sorted(names) and len(names) == (2 * (FILL + 6) if period == "day" else 12)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DataWarning)  # securities listed too late for bars
        want = sim_hq.bars_many(names, period, count=int(rows.max()))
    pd.testing.assert_frame_equal(frame[["symbol", "type"] + PRICES],
                                  want[["symbol", "type"] + PRICES], check_exact=True)
    # The server sends counts of lots and turnovers in a packed float form of about 24 bits;
    # the file keeps the volume whole and the turnover as a single. Indices' volumes are left
    # out: files written before they counted lots hold their shares wrapped at 32 bits.
    stock = ~frame["symbol"].map(lambda s: is_index(parse_symbol(s))).astype(bool)
    assert stock.sum() > len(frame) // 2
    lot = frame["symbol"].astype(str).map(listed["volunit"]).to_numpy(dtype=float)
    lots = (frame["volume"] / lot)[stock].map(quantize_volume)
    same = (lots * lot[stock] == want["volume"][stock])
    assert same.all(), (frame[stock][~same].head(), want[stock][~same].head())
    np.testing.assert_allclose(frame["amount"], want["amount"], rtol=2e-7)


@pytest.mark.parametrize("kwargs", [
    {"symbols": ["600036", "000001.SZ", "sh600036"]},
    {"start": "2025-06-02"},
    {"end": "2003-06-02"},
    {"start": "2025-06-02", "end": pd.Timestamp("2025-06-03")},
    {"start": "2025-06-02 00:00:01", "end": "2025-06-02 23:59"},
    {"symbols": ["sh000001"], "start": "2030-01-01"},
])
def test_filters(vipdoc, kwargs):
    frame = read_vipdoc(vipdoc, **kwargs, progress=False)
    got = list(frame["symbol"].cat.categories)
    if "symbols" in kwargs:
        assert got == list(dict.fromkeys(str(parse_symbol(s)) for s in kwargs["symbols"]))
    whole = read_vipdoc(vipdoc, symbols=got, progress=False)
    assert got == list(whole["symbol"].cat.categories)
    lo, hi = kwargs.get("start"), kwargs.get("end")
    keep = np.ones(len(whole), bool)
    if lo is not None:
        keep &= whole.index >= pd.Timestamp(lo)
    if hi is not None:
        keep &= whole.index <= pd.Timestamp(hi) + (pd.Timedelta("86399s")
                                                  if len(str(hi)) <= 10 else pd.Timedelta(0))
    pd.testing.assert_frame_equal(frame, whole[keep])


@pytest.mark.parametrize("period, alias", [("day", "D"), ("1m", "min"), ("5m", "5min")])
def test_periods_by_pandas_names_and_one_name_for_many(vipdoc, period, alias):
    name = min(s.canonical for s in find_files(vipdoc, alias))
    got = read_vipdoc(vipdoc, alias, symbols=name, progress=False)
    assert list(got["symbol"].cat.categories) == [name] and len(got)
    pd.testing.assert_frame_equal(got, read_vipdoc(vipdoc, period, symbols=[name],
                                                   progress=False))


def test_symbols_without_a_file_warn_and_nothing_raises(vipdoc):
    with pytest.warns(DataWarning, match="no day file for sh600999"):
        frame = read_vipdoc(vipdoc, symbols=["600036", "600999"])
    assert frame.attrs["missing"] == ["sh600999"]
    with pytest.raises(FileNotFoundError, match="no 1m files for sh600999, sz300999$"):
        read_vipdoc(vipdoc, "1m", symbols=["sh600999", "sz300999"])
    with pytest.raises(ValueError, match="end .* is before start"):
        read_vipdoc(vipdoc, start="2025-01-02", end="2025-01-01")


def test_progress_reports_every_file_and_can_stop_the_read(vipdoc):
    seen = []
    read_vipdoc(vipdoc, symbols=["600036", "000001.SZ", "600000"],
                progress=lambda done, total: seen.append((done, total)))
    assert seen[-1] == (3, 3) and all(t == 3 for _, t in seen)

    def stop(done, total):
        raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        read_vipdoc(vipdoc, progress=stop)


def test_progress_none_draws_no_bar_even_on_a_terminal(vipdoc, monkeypatch):
    term = io.StringIO()
    term.isatty = lambda: True
    monkeypatch.setattr(sys, "stderr", term)
    read_vipdoc(vipdoc)
    read_vipdoc(vipdoc, progress=False)
    assert term.getvalue() == ""
    read_vipdoc(vipdoc, progress=True)  # asked for: drawn, then cleared
    assert re.search(r"\d+/\d+ \[.* files/s\]", term.getvalue())


def test_adjust_passes_through_pelmora_adjust(vipdoc):
    adjust = pytest.importorskip("pelmora.adjust")
    events = pd.DataFrame({"symbol": ["sh600036", "sz000001"], "category": [1, 1],
                           "name": ["除权除息"] * 2, "fenhong": [3.0, 1.5], "peigujia": 0.0,
                           "songzhuangu": [0.0, 10.0], "peigu": 0.0},
                          index=pd.DatetimeIndex(["2024-06-03", "2024-09-02"], name="date"))
    syms = ["sh600036", "sz000001", "sh600000"]
    raw = read_vipdoc(vipdoc, symbols=syms)
    adjusted = read_vipdoc(vipdoc, symbols=syms, adjust="qfq", events=events)
    pd.testing.assert_frame_equal(adjusted, adjust.adjust(raw, events, "qfq"))
    assert not adjusted["close"].equals(raw["close"])
    one = read_day_frame(vipdoc / "vipdoc" / "sh" / "lday" / "sh600036.day", adjust="hfq",
                         events=events[events["symbol"] == "sh600036"])
    assert one["close"].iloc[-1] > raw.loc[raw["symbol"] == "sh600036", "close"].iloc[-1]
    with pytest.raises(ValueError, match="adjust= needs the ex-rights events"):
        read_vipdoc(vipdoc, adjust="qfq")


# -- a file's kind, told by its first records

def ambiguous_days(n):
    """Daily records whose dates also read as minute words (a day and a minute that exist)."""
    days = pd.bdate_range("2001-01-01", "2030-12-31")
    number = (days.year * 10000 + days.month * 100 + days.day).to_numpy()
    word, minute = number & 0xFFFF, number >> 16
    md = word & 0x7FF
    fits = (md // 100 >= 1) & (md // 100 <= 12) & (md % 100 >= 1) & (md % 100 <= 28) & \
        (minute < 1440)
    r = random_day(n, np.random.default_rng(3))
    r["date"] = number[fits][:n]
    return r


@pytest.mark.parametrize("name, records, reader, found, want", [
    # The reader asks one kind, the records are the other.
    ("sh600036.day", "minute", read_day_frame, "minute", "daily"),
    ("sh600036.lc1", "day", read_minute_frame, "daily", "minute"),
    ("sh600036.lc5", "ambiguous", read_minute_frame, "daily", "minute"),
    ("plain", "day", read_minute_frame, "daily", "minute"),
    # The records are what is asked, the name says otherwise.
    ("x.lc1", "day", read_day_frame, "daily", "minute"),
    ("x.DAY", "minute", read_minute_frame, "minute", "daily"),
    # Right pairings read, whatever the name.
    ("sh600036.day", "day", read_day_frame, None, None),
    ("sh600036.day", "ambiguous", read_day_frame, None, None),
    ("sz000001.LC5", "minute", read_minute_frame, None, None),
    ("plain", "minute", read_minute_frame, None, None),
])
def test_files_read_as_another_kind_are_refused(tmp_path, name, records, reader, found, want):
    make = {"day": random_day, "minute": random_minute,
            "ambiguous": lambda n, rng: ambiguous_days(n)}[records]
    data = make(300, np.random.default_rng(7))
    path = tmp_path / name
    path.write_bytes(data.tobytes())
    if found is None:
        assert len(reader(path)) == 300
    else:
        with pytest.raises(ValueError, match=f"^{re.escape(str(path))}: its records are "
                                             f"{found} bars, not {want} bars$"):
            reader(path)
        with pytest.raises(ValueError, match="its records are"):
            reader(path, start="2020-01-01")  # bounds or not
    # An empty file has no kind to be wrong about; a file of no bars at all is refused.
    path.write_bytes(b"")
    assert reader(path).empty
    path.write_bytes(b"root:x:0:0:root:/root:/bin/bash\n" * 8)
    with pytest.raises(ValueError, match="its records are neither daily nor minute bars"):
        reader(path)


def test_folders_and_the_command_line_refuse_files_of_another_kind(vipdoc, tmp_path):
    folder = tmp_path / "tdx"
    (folder / "vipdoc" / "sh" / "lday").mkdir(parents=True)
    for code in ("600036", "600000"):
        src = vipdoc / "vipdoc" / "sh" / "lday" / f"sh{code}.day"
        (folder / "vipdoc" / "sh" / "lday" / f"sh{code}.day").write_bytes(src.read_bytes())
    bad = folder / "vipdoc" / "sh" / "lday" / "sh600000.day"
    bad.write_bytes(random_minute(50, np.random.default_rng(1)).tobytes())
    with pytest.raises(ValueError, match=f"^{re.escape(str(bad))}: its records are minute bars"):
        read_vipdoc(folder)
    with pytest.warns(DataWarning, match="1 of 2 files failed: sh600000 .ValueError: .*its "
                                         "records are minute bars"):
        frame = read_vipdoc(folder, errors="warn")
    assert list(frame["symbol"].unique()) == ["sh600036"]
    lc1 = tmp_path / "x.lc1"
    lc1.write_bytes(random_day(20, np.random.default_rng(2)).tobytes())
    for command, path, found, want in [("day", lc1, "daily", "minute"),
                                       ("minute", folder / "vipdoc" / "sh" / "lday" /
                                        "sh600036.day", "daily", "minute")]:
        done = subprocess.run([sys.executable, "-P", "-m", "pelmora", command, str(path)],
                              capture_output=True, text=True)
        assert (done.returncode, done.stdout) == (1, "")
        assert done.stderr == f"pelmora: error: {path}: its records are {found} bars, not " \
                              f"{want} bars\n"
