"""Decoding of K-line bar bodies (get_security_bars, get_index_bars)."""
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from market_ref import ref_bars, varint

WORKED = bytes.fromhex("01003BA13F0284A40114324A1039304600801C4A")
WORKED_BAR = {"datetime": "2024-03-15 09:35", "open": 10.5, "high": 10.55, "low": 10.49,
              "close": 10.52, "vol": 11278.265625, "amount": 2564096.0}


def bar(date, *diffs):  # diffs: open, close, high, low; the worked volume and amount
    return struct.pack("<I", date) + b"".join(map(varint, diffs)) + WORKED[-8:]


def priced(when, o, h, lo, c):
    return dict(WORKED_BAR, datetime=when, open=o, high=h, low=lo, close=c)


def bars(served_client, index, category, body):
    hq, client = served_client
    hq.reply(body)
    return (client.get_index_bars if index else client.get_security_bars)(category, 1, "600036", 0, 100)


TWO = b"\x02\x00" + bar(20240102, 10500, 20, 50, -10) + bar(20240103, 0, -1020, 3, -2000)
FIRST_END = 2 + len(bar(20240102, 10500, 20, 50, -10))
MAX = 2**63 - 1


@pytest.mark.parametrize("index, category, body, expected", [
    (False, 8, WORKED, [WORKED_BAR]),
    (False, 7, WORKED, [WORKED_BAR]),
    (False, 9, WORKED, [dict(WORKED_BAR, datetime="3772-44-75 15:00")]),
    (False, 300, WORKED, [dict(WORKED_BAR, datetime="3772-44-75 15:00")]),
    (True, 8, WORKED, []),  # the 12-byte tail does not fit
    (True, 8, WORKED + b"\x2a\x00\xff\xff", [dict(WORKED_BAR, up_count=42, down_count=65535)]),
    (False, 4, b"\x01\x00" + bar(50102, 5, 0, 0, 0), [priced("5-01-02 15:00", 0.005, 0.005, 0.005, 0.005)]),
    (False, 9, b"\x01\x00" + bar(0, 0, 0, 0, 0), [priced("0-00-00 15:00", 0.0, 0.0, 0.0, 0.0)]),
    (False, 0, b"\x01\x00" + bytes(16), [{"datetime": "2004-00-00 00:00", "open": 0.0, "high": 0.0,
                                          "low": 0.0, "close": 0.0, "vol": 2.0**-127, "amount": 2.0**-127}]),
    (False, 9, TWO, [priced("2024-01-02 15:00", 10.5, 10.55, 10.49, 10.52),  # open: a difference
                     priced("2024-01-03 15:00", 10.52, 10.523, 8.52, 9.5)]),  # to the last close
    (False, 9, b"\x01\x00" + bar(20240102, MAX, 1, 0, -MAX),  # price sums wrap around
     [priced("2024-01-02 15:00", MAX / 1000.0, MAX / 1000.0, 0.0, -(2**63) / 1000.0)]),
])
def test_worked_bodies(served_client, index, category, body, expected):
    result = bars(served_client, index, category, body)
    assert result == expected
    assert [list(d) for d in result] == [list(d) for d in expected]  # key order


@pytest.mark.parametrize("index, body, count", [
    (False, b"", 0),
    (False, b"\x05", 0),
    (False, b"\x00\x00" + TWO[2:], 0),  # N = 0
    (False, b"\x07\x00" + TWO[2:], 2),  # N larger than the bars present
    (False, TWO[:-1], 1),  # second bar cut in its fixed tail
    (False, TWO[:FIRST_END + 3], 1),  # cut inside the date
    (False, TWO[:FIRST_END + 4], 1),  # differences read past the end as 0, tail missing
    (True, TWO + bytes(4), 1),  # index tails shift the second bar out of line
    # The mended fault: a lone continuation byte ends the body just before the 8-byte tail, so
    # the cursor stands one past the end; the tail must not be read from beyond the body.
    (False, TWO[:FIRST_END] + struct.pack("<I", 20240103) + b"\x01\x02\x03\x81", 1),
    (False, TWO[:FIRST_END] + struct.pack("<I", 20240103) + b"\x01\x02\x03\xff\xff\x81", 1),
])
def test_truncated_bodies(served_client, index, body, count):
    result = bars(served_client, index, 9, body)
    assert len(result) == count and result == ref_bars(body, 9, index)


diffs = st.one_of(st.integers(-70, 70), st.integers(-(2**63), 2**63 - 1))
records = st.lists(st.builds(lambda when, d, tail: when + b"".join(map(varint, d)) + tail,
                             st.binary(min_size=4, max_size=4), st.lists(diffs, min_size=4, max_size=4),
                             st.binary(min_size=8, max_size=12)), max_size=6)
structured = st.builds(lambda recs, extra, cut: (struct.pack("<H", max(0, len(recs) + extra))
                                                 + b"".join(recs))[:-cut or None],
                       records, st.integers(-2, 3), st.integers(0, 200))


@settings(max_examples=140, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(body=st.one_of(structured, st.binary(max_size=120)), index=st.booleans(),
       category=st.sampled_from([0, 3, 4, 7, 8, 9, 11, 12, 65535]))
def test_bodies_match_the_reference(served_client, body, index, category):
    assert bars(served_client, index, category, body) == ref_bars(body, category, index)
