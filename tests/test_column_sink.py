"""The column sink of the native decoders (src/protocol/columns.hpp), driven through a small C++
program built from the sources: on the same K-line bodies it must hold the values the reference
decoder gives, and a sink's stop must end decoding."""
import os
import random
import shutil
import struct
import subprocess

import pytest

from market_ref import ref_bars, varint

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

pytestmark = pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")


@pytest.fixture(scope="module")
def tool(tmp_path_factory):
    exe = str(tmp_path_factory.mktemp("column_sink") / "column_sink")
    subprocess.run(["g++", "-std=c++20", "-O1", "-Wall", "-Wextra", "-Werror",
                    "-I", os.path.join(ROOT, "src"), os.path.join(ROOT, "tests/cpp/column_sink.cpp"),
                    os.path.join(ROOT, "src/protocol/fields.cpp"), "-o", exe], check=True)

    def run(body, category, index, stop_after=None):
        args = [exe, str(category), str(int(index))] + ([str(stop_after)] if stop_after is not None else [])
        return subprocess.run(args, input=body, capture_output=True, check=True).stdout.decode().split("\n")[:-1]
    return run


def as_row(bar):
    """A reference bar dict as the tool prints it: the datetime text as the number YYYYMMDDhhmm."""
    day, time = bar["datetime"].split(" ")
    y, m, d = day.split("-")
    hh, mm = time.split(":")
    when = int(y) * 10**8 + int(m) * 10**6 + int(d) * 10**4 + int(hh) * 100 + int(mm)
    values = [bar[k] for k in ("open", "high", "low", "close", "vol", "amount")]
    counts = [bar["up_count"], bar["down_count"]] if "up_count" in bar else []
    return [when] + values + counts


def parse(line, index):
    fields = line.split(" ")
    ints = [int(v) for v in fields[7:]] if index else []
    return [int(fields[0])] + [float(v) for v in fields[1:7]] + ints


def bar_bytes(date, diffs, tail):
    return struct.pack("<I", date) + b"".join(map(varint, diffs)) + tail


TAIL = bytes.fromhex("39304600801C4A10")  # a volume and an amount word
MINUTE_DATE = struct.pack("<HH", (22 << 11) | 315, 575)[:4]


def body_of(bars):
    return struct.pack("<H", len(bars)) + b"".join(bars)


def random_body(rng, index):
    bars = [bar_bytes(rng.randrange(2**32), [rng.randrange(-10**9, 10**9) for _ in range(4)],
                      bytes(rng.randrange(256) for _ in range(12 if index else 8)))
            for _ in range(rng.randrange(1, 40))]
    body = body_of(bars)
    return body[:rng.randrange(2, len(body) + 1)] if rng.random() < 0.5 else body


@pytest.mark.parametrize("index, category, body", [
    (False, 9, body_of([bar_bytes(20240102, [10500, 20, 50, -10], TAIL),
                        bar_bytes(20240103, [0, -1020, 3, -2000], TAIL)])),
    (False, 8, body_of([MINUTE_DATE + varint(7) * 4 + TAIL])),
    (True, 4, body_of([bar_bytes(20240102, [1, 2, 3, 4], TAIL + b"\x2a\x00\xff\xff")])),
    (True, 4, body_of([bar_bytes(20240102, [1, 2, 3, 4], TAIL)])),  # the index tail does not fit
    (False, 9, body_of([bar_bytes(20240102, [2**62, 2**62, 0, 0], TAIL)] * 3)),  # sums wrap
    (False, 9, b"\x05"),
])
def test_columns_hold_the_reference_values(tool, index, category, body):
    assert [parse(line, index) for line in tool(body, category, index)] == \
        [as_row(b) for b in ref_bars(body, category, index)]


def test_columns_on_random_bodies(tool):
    seed = random.randrange(2**32)
    rng = random.Random(seed)
    for _ in range(30):
        index, category = rng.random() < 0.5, rng.choice([0, 4, 7, 9, 11])
        body = random_body(rng, index)
        got = [parse(line, index) for line in tool(body, category, index)]
        assert got == [as_row(b) for b in ref_bars(body, category, index)], f"seed {seed}"


@pytest.mark.parametrize("stop_after, rows, outcome", [(1, 1, "stopped"), (3, 3, "stopped"),
                                                        (4, 3, "finished")])
def test_a_sink_stop_ends_decoding(tool, stop_after, rows, outcome):
    body = body_of([bar_bytes(20240102 + i, [100, 1, 2, 3], TAIL) for i in range(3)])
    lines = tool(body, 9, False, stop_after)
    assert len(lines) - 1 == rows and lines[-1] == outcome
