"""read_daily_bars and read_minute_bars over files the tests write themselves."""
import math
import os
import pathlib
import socket
import struct
import subprocess
import sys
import textwrap

import pytest

import pelmora
from pelmora import read_daily_bars, read_minute_bars, records

DAY = struct.Struct("<5IfI4x")  # date, open, high, low, close, amount (single), volume
LC = struct.Struct("<HH5fI4x")  # date, time, open, high, low, close, amount (singles), volume
# Where this run imports pelmora from (the working tree or site-packages), for subprocesses.
PACKAGE_ROOT = pathlib.Path(pelmora.__file__).resolve().parents[1]
DAY_KEYS = list(records.DAILY_BAR)
LC_KEYS = list(records.MINUTE_BAR)


def day(date=20240105, o=0, h=0, lo=0, c=0, amount=0.0, volume=0):
    return DAY.pack(date, o, h, lo, c, amount, volume)


def lc(d=41065, t=571, o=0.0, h=0.0, lo=0.0, c=0.0, amount=0.0, volume=0):
    return LC.pack(d, t, o, h, lo, c, amount, volume)


@pytest.fixture
def write(tmp_path):
    def write(data):
        (tmp_path / "f.bin").write_bytes(data)
        return str(tmp_path / "f.bin")
    return write


# Prices and volumes are unsigned words multiplied by their coefficient (35 * 0.01, not 35 / 100);
# the amount is the stored single widened, with no coefficient. repr compares types and signs too.
@pytest.mark.parametrize("record, kwargs, values", [
    (day(o=35, h=3, lo=2**32 - 1, c=2**31, amount=12345.6, volume=1000), {},
     [0.35000000000000003, 0.03, 42949672.95, 21474836.48, 12345.599609375, 10.0]),
    (day(o=35, h=3, lo=2**32 - 1, c=2**31, amount=12345.6, volume=1000), {"price_coeff": 0.1, "vol_coeff": 2},
     [3.5, 0.30000000000000004, 429496729.5, 214748364.8, 12345.599609375, 2000.0]),
    (day(o=2**32 - 1, h=1, lo=35, c=2**31, amount=-0.0, volume=2**32 - 1), {"price_coeff": True, "vol_coeff": 1.0},
     [4294967295.0, 1.0, 35.0, 2147483648.0, -0.0, 4294967295.0]),
])
def test_daily_values(write, record, kwargs, values):
    assert repr(read_daily_bars(write(record), **kwargs)) == repr([dict(zip(DAY_KEYS, ["2024-01-05", *values]))])


@pytest.mark.parametrize("date, text", [
    (20240105, "2024-01-05"), (19991231, "1999-12-31"), (123, "0-01-23"), (0, "0-00-00"), (9, "0-00-09"),
    (99999999, "9999-99-99"), (100000000, "10000-00-00"), (4294967295, "429496-72-95"),
])
def test_daily_date_text(write, date, text):
    assert read_daily_bars(write(day(date=date)))[0]["date"] == text


@pytest.mark.parametrize("d, t, text", [
    (41065, 571, "2024-01-05 09:31"), (0, 0, "2004-00-00 00:00"), (65535, 65535, "2035-20-47 1092:15"),
    ((31 << 11) | 1231, 1439, "2035-12-31 23:59"), (41065, 5999, "2024-01-05 99:59"),
    (41065, 6000, "2024-01-05 100:00"),
])
def test_minute_datetime_text(write, d, t, text):
    assert read_minute_bars(write(lc(d=d, t=t)))[0]["datetime"] == text


def test_minute_values_are_widened_singles(write):
    raw = lc(o=10.01, h=1e30, lo=-0.0, c=math.inf, amount=123456.789, volume=2**32 - 1) + lc(o=math.nan, volume=300)
    assert repr(read_minute_bars(write(raw))) == repr([dict(zip(LC_KEYS, values)) for values in [
        ["2024-01-05 09:31", 10.010000228881836, 1.0000000150474662e30, -0.0, math.inf, 123456.7890625, 4294967295.0],
        ["2024-01-05 09:31", math.nan, 0.0, 0.0, 0.0, 0.0, 300.0]]])


@pytest.mark.parametrize("reader, record, keys, scale", [
    (read_daily_bars, day, DAY_KEYS, 0.01), (read_minute_bars, lc, LC_KEYS, 1.0),
])
@pytest.mark.parametrize("size, count", [(0, 0), (31, 0), (32, 1), (65, 2), (70, 2), (96, 3)])
def test_whole_records_in_file_order(write, reader, record, keys, scale, size, count):
    bars = reader(write(b"".join(record(volume=i + 1) for i in range(4))[:size]))
    assert type(bars) is list and [b["volume"] for b in bars] == [scale * (i + 1) for i in range(count)]
    assert all(list(b) == keys for b in bars)


@pytest.fixture
def odd_paths(tmp_path):
    """A directory holding an empty file, a dangling symbolic link, a Unix socket and a file
    nobody may read."""
    (tmp_path / "plain").write_bytes(b"")
    (tmp_path / "locked").write_bytes(day())
    os.chmod(tmp_path / "locked", 0)
    os.symlink(tmp_path / "gone", tmp_path / "dangling")
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(str(tmp_path / "sock"))
        yield str(tmp_path)


@pytest.mark.parametrize("reader", [read_daily_bars, read_minute_bars])
@pytest.mark.parametrize("path, kind, message", [
    ("no/such/file.day", FileNotFoundError, "File not found: no/such/file.day"),
    ("{d}/dangling", FileNotFoundError, "File not found: {d}/dangling"),
    ("{d}/plain/x", FileNotFoundError, "File not found: {d}/plain/x"),
    ("{d}/plain\0x", FileNotFoundError, "File not found: {d}/plain\0x"),
    ("{d}/sock", OSError, "Cannot open file: No such device or address (os error 6)"),
    ("{d}", OSError, "Cannot mmap file: No such device (os error 19)"),
    pytest.param("{d}/locked", OSError, "Cannot open file: Permission denied (os error 13)",
                 marks=pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")),
])
def test_file_errors(odd_paths, reader, path, kind, message):
    with pytest.raises(OSError) as info:
        reader(path.format(d=odd_paths))
    assert type(info.value) is kind and info.value.args == (message.format(d=odd_paths),)
    assert info.value.errno is None and info.value.filename is None


@pytest.mark.parametrize("call, kind, message", [  # on a missing file: the argument error must win
    (lambda p: read_daily_bars(p, None), TypeError, "argument 'price_coeff': must be real number, not NoneType"),
    (lambda p: read_daily_bars(p, vol_coeff="1"), TypeError, "argument 'vol_coeff': must be real number, not str"),
    (lambda p: read_minute_bars(pathlib.Path(p)), TypeError,
     "argument 'filepath': 'PosixPath' object cannot be cast as 'str'"),
    (lambda p: read_daily_bars(p, 10**400), OverflowError, "int too large to convert to float"),
    (lambda p: read_minute_bars(p[:-1] + "\ud800"), UnicodeEncodeError, None),
])
def test_argument_errors_come_before_the_file(call, kind, message):
    with pytest.raises(Exception) as info:
        call("/no/such/file")
    assert type(info.value) is kind and (message is None or str(info.value) == message)
    assert type(info.value.__cause__) is (TypeError if kind is TypeError else type(None))


def test_keywords_and_no_leaks(write):
    path, coeff = write(day(o=200, volume=3)), 0.5
    refs, fds = (sys.getrefcount(path), sys.getrefcount(coeff)), len(os.listdir("/proc/self/fd"))
    for _ in range(300):
        (bar,) = read_daily_bars(vol_coeff=1, price_coeff=coeff, filepath=path)
        assert (bar["open"], bar["volume"]) == (100.0, 3.0)
        for bad in (path + ".missing", os.path.dirname(path)):
            with pytest.raises(OSError):
                read_minute_bars(bad)
    assert (sys.getrefcount(path), sys.getrefcount(coeff), len(os.listdir("/proc/self/fd"))) == (*refs, fds)


def run_python(code, timeout=30):
    """Runs `code` in a fresh interpreter that imports this run's pelmora; returns its output."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(PACKAGE_ROOT), os.environ.get("PYTHONPATH", "")]))
    out = subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, timeout=timeout, env=env)
    assert out.returncode == 0, out.stderr
    return out.stdout


def test_fifo_is_refused_without_waiting_for_a_writer(tmp_path):
    os.mkfifo(tmp_path / "fifo")
    assert run_python(f"""
        from pelmora._core import read_daily_bars, read_minute_bars
        for reader in (read_daily_bars, read_minute_bars):
            try:
                reader({str(tmp_path / "fifo")!r})
            except OSError as e:
                print(type(e).__name__, e)
    """) == "OSError Cannot mmap file: No such device (os error 19)\n" * 2


@pytest.mark.slow
def test_file_shrinking_during_reads_never_crashes(tmp_path):
    """Another process cuts the file at random sizes and restores it while we read it over and
    over. The process must live and every result must hold whole records at their places; bytes
    that meet the cut may read the zeros the system leaves there for a moment."""
    n, path = 20000, tmp_path / "shrinking.day"
    path.write_bytes(b"".join(day(date=i, o=i, volume=n - i) for i in range(n)))
    cutter = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import os, random, time
        data, fd, rng = open({str(path)!r}, "rb").read(), os.open({str(path)!r}, os.O_WRONLY), random.Random(7)
        while True:
            os.ftruncate(fd, rng.randrange(len(data)))
            time.sleep(rng.random() / 1000)
            os.pwrite(fd, data, 0)
            time.sleep(rng.random() / 1000)
    """)])
    try:
        out = run_python(f"""
            import time
            from pelmora._core import read_daily_bars
            def torn(value, original):
                # Reads race with the writer byte by byte: each byte is the file's or a zero.
                return all((value >> s) & 255 in (0, (original >> s) & 255) for s in (0, 8, 16, 24))
            n, short, deadline = {n}, 0, time.monotonic() + 20
            while short < 100 and time.monotonic() < deadline:
                bars = read_daily_bars({str(path)!r}, 1, 1)
                assert len(bars) <= n
                short += len(bars) < n
                for i, b in enumerate(bars):
                    assert torn(int(b["open"]), i) and torn(int(b["volume"]), n - i), (i, b)
            print("short reads", short)
        """, timeout=60)
    finally:
        cutter.kill()
        cutter.wait()
    assert out.startswith("short reads") and int(out.split()[-1]) > 0
