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
from pelmora import read_daily_bars, read_minute_bars

DAY = struct.Struct("<5IfI4x")  # date, open, high, low, close, amount (single), volume
LC = struct.Struct("<HH5fI4x")  # date, time, open, high, low, close, amount (singles), volume
# Where this run imports pelmora from (the working tree or site-packages), for subprocesses.
PACKAGE_ROOT = pathlib.Path(pelmora.__file__).resolve().parents[1]
DAY_KEYS = ["date", "open", "high", "low", "close", "amount", "volume"]
LC_KEYS = ["datetime", "open", "high", "low", "close", "amount", "volume"]


def single(x):
    """The stored single nearest to x, widened (struct widens exactly)."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def day(date=20240105, o=0, h=0, lo=0, c=0, amount=0.0, volume=0):
    return DAY.pack(date, o, h, lo, c, amount, volume)


def lc(d=41065, t=571, o=0.0, h=0.0, lo=0.0, c=0.0, amount=0.0, volume=0):
    return LC.pack(d, t, o, h, lo, c, amount, volume)


@pytest.fixture
def write(tmp_path):
    def write(data, name="f.bin"):
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)
    return write


@pytest.mark.parametrize("raw, kwargs, key, expected", [
    (day(o=35), {}, "open", 0.35000000000000003),  # a multiplication, not 35 / 100
    (day(h=3), {"price_coeff": 0.1}, "high", 0.30000000000000004),  # not 3 / 10 == 0.3
    (day(lo=35), {"price_coeff": 1}, "low", 35.0),
    (day(c=35), {"price_coeff": 0.001}, "close", 0.035),
    (day(o=0xFFFFFFFF), {"price_coeff": 1}, "open", 4294967295.0),  # unsigned, not -1.0
    (day(c=0x80000000), {"price_coeff": True}, "close", 2147483648.0),
    (day(volume=1000), {}, "volume", 10.0),
    (day(volume=1000), {"vol_coeff": 1}, "volume", 1000.0),
    (day(volume=0xFFFFFFFF), {"vol_coeff": 1.0}, "volume", 4294967295.0),
    (day(amount=12345.6), {"vol_coeff": 2}, "amount", 12345.599609375),  # no coefficient
    (day(amount=-0.0), {}, "amount", -0.0),
])
def test_daily_values(write, raw, kwargs, key, expected):
    (bar,) = read_daily_bars(write(raw), **kwargs)
    assert type(bar[key]) is float and bar[key] == expected
    assert math.copysign(1, bar[key]) == math.copysign(1, expected)


@pytest.mark.parametrize("date, text", [
    (20240105, "2024-01-05"), (19991231, "1999-12-31"), (123, "0-01-23"), (0, "0-00-00"),
    (9, "0-00-09"), (99999999, "9999-99-99"), (100000000, "10000-00-00"),
    (4294967295, "429496-72-95"),
])
def test_daily_date_text(write, date, text):
    assert read_daily_bars(write(day(date=date)))[0]["date"] == text


@pytest.mark.parametrize("d, t, text", [
    (41065, 571, "2024-01-05 09:31"), (0, 0, "2004-00-00 00:00"),
    (65535, 65535, "2035-20-47 1092:15"), ((31 << 11) | 1231, 1439, "2035-12-31 23:59"),
    (41065, 5999, "2024-01-05 99:59"), (41065, 6000, "2024-01-05 100:00"),
])
def test_minute_datetime_text(write, d, t, text):
    assert read_minute_bars(write(lc(d=d, t=t)))[0]["datetime"] == text


def test_minute_values_are_widened_singles(write):
    raw = lc(o=10.01, h=1e30, lo=-0.0, c=math.inf, amount=123456.789, volume=0xFFFFFFFF)
    raw += lc(o=math.nan, volume=300)
    first, second = read_minute_bars(write(raw))
    assert first == {"datetime": "2024-01-05 09:31", "open": 10.010000228881836,
                     "high": single(1e30), "low": -0.0, "close": math.inf,
                     "amount": single(123456.789), "volume": 4294967295.0}
    assert math.copysign(1, first["low"]) == -1
    assert math.isnan(second["open"]) and second["volume"] == 300.0
    assert all(type(v) is float for v in [*first.values()][1:] + [*second.values()][1:])


@pytest.mark.parametrize("reader, record, keys, scale", [
    (read_daily_bars, day, DAY_KEYS, 0.01), (read_minute_bars, lc, LC_KEYS, 1.0),
])
@pytest.mark.parametrize("size, count", [(0, 0), (31, 0), (32, 1), (65, 2), (70, 2), (96, 3)])
def test_whole_records_in_file_order(write, reader, record, keys, scale, size, count):
    data = b"".join(record(volume=i + 1) for i in range(4))[:size]
    bars = reader(write(data))
    assert type(bars) is list and [b["volume"] for b in bars] == [scale * (i + 1)
                                                                   for i in range(count)]
    assert all(list(b) == keys for b in bars)


@pytest.fixture
def odd_paths(tmp_path):
    """A directory holding an empty file, a dangling symbolic link and a Unix socket."""
    (tmp_path / "plain").write_bytes(b"")
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
])
def test_file_errors(odd_paths, reader, path, kind, message):
    with pytest.raises(OSError) as info:
        reader(path.format(d=odd_paths))
    assert type(info.value) is kind and info.value.args == (message.format(d=odd_paths),)
    assert info.value.errno is None and info.value.filename is None


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file(write):
    path = write(day())
    os.chmod(path, 0)
    with pytest.raises(OSError) as info:
        read_daily_bars(path)
    assert type(info.value) is OSError
    assert info.value.args == ("Cannot open file: Permission denied (os error 13)",)


@pytest.mark.parametrize("call, kind, message", [
    (lambda p: read_daily_bars(p, None), TypeError,
     "argument 'price_coeff': must be real number, not NoneType"),
    (lambda p: read_daily_bars(p, vol_coeff="1"), TypeError,
     "argument 'vol_coeff': must be real number, not str"),
    (lambda p: read_daily_bars(p.encode()), TypeError,
     "argument 'filepath': 'bytes' object cannot be cast as 'str'"),
    (lambda p: read_minute_bars(pathlib.Path(p)), TypeError,
     "argument 'filepath': 'PosixPath' object cannot be cast as 'str'"),
    (lambda p: read_daily_bars(p, 10**400), OverflowError, "int too large to convert to float"),
    (lambda p: read_minute_bars(p, 1), TypeError,
     "read_minute_bars() takes 1 positional arguments but 2 were given"),
    (lambda p: read_minute_bars(filepath=p, price_coeff=1), TypeError,
     "read_minute_bars() got an unexpected keyword argument 'price_coeff'"),
    (lambda p: read_daily_bars(p, 1, 1, 1), TypeError,
     "read_daily_bars() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda p: read_daily_bars(price_coeff=1), TypeError,
     "read_daily_bars() missing 1 required positional argument: 'filepath'"),
    (lambda p: read_minute_bars("\ud800"), UnicodeEncodeError, None),
])
def test_argument_errors_come_before_the_file(call, kind, message):
    with pytest.raises(Exception) as info:
        call("/no/such/file")  # a missing file: the argument error must win
    assert type(info.value) is kind
    if message is not None:
        assert str(info.value) == message
    if kind is TypeError and message.startswith("argument"):
        assert type(info.value.__cause__) is TypeError


def test_keywords_and_no_leaks(write):
    path = write(day(o=200, volume=3))
    coeff = 0.5
    refs = sys.getrefcount(path), sys.getrefcount(coeff)
    fds = len(os.listdir("/proc/self/fd"))
    for _ in range(300):
        (bar,) = read_daily_bars(vol_coeff=1, price_coeff=coeff, filepath=path)
        assert (bar["open"], bar["volume"]) == (100.0, 3.0)
        for bad in (path + ".missing", os.path.dirname(path)):
            with pytest.raises(OSError):
                read_minute_bars(bad)
    assert (sys.getrefcount(path), sys.getrefcount(coeff)) == refs
    assert len(os.listdir("/proc/self/fd")) == fds


def run_python(code, timeout):
    path = os.pathsep.join([str(PACKAGE_ROOT), os.environ.get("PYTHONPATH", "")])
    env = dict(os.environ, PYTHONPATH=path)
    return subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=env)


def test_fifo_is_refused_without_waiting_for_a_writer(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    out = run_python(f"""
        from pelmora._core import read_daily_bars, read_minute_bars
        for reader in (read_daily_bars, read_minute_bars):
            try:
                reader({str(fifo)!r})
            except OSError as e:
                print(type(e).__name__, e)
    """, timeout=30)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "OSError Cannot mmap file: No such device (os error 19)\n" * 2


def test_file_shrinking_during_reads_never_crashes(tmp_path):
    """Another process cuts the file at random sizes and restores it while we read it over and
    over. The process must live and every result must hold whole records at their places; bytes
    that meet the cut may read the zeros the system leaves there for a moment."""
    n = 20000
    path = tmp_path / "shrinking.day"
    path.write_bytes(b"".join(day(date=i, o=i, volume=n - i) for i in range(n)))
    cutter = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import os, random, time
        data = open({str(path)!r}, "rb").read()
        fd = os.open({str(path)!r}, os.O_WRONLY)
        rng = random.Random(7)
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
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("short reads") and int(out.stdout.split()[-1]) > 0
