"""Decoding of K-line bar bodies (get_security_bars, get_index_bars)."""
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from market_ref import ref_bars, varint

WORKED = bytes.fromhex("01003BA13F0284A40114324A103930460080 1C4A".replace(" ", ""))
WORKED_BAR = {"datetime": "2024-03-15 09:35", "open": 10.5, "high": 10.55, "low": 10.49,
              "close": 10.52, "vol": 11278.265625, "amount": 2564096.0}
VOL_AMOUNT = bytes.fromhex("103930460080 1C4A".replace(" ", ""))


def bar(date, d_open, d_close, d_high, d_low, tail=VOL_AMOUNT):
    return struct.pack("<I", date) + varint(d_open) + varint(d_close) + varint(d_high) + varint(d_low) + tail


def bars(client, index, category, body, hq):
    hq.reply(body)
    method = client.get_index_bars if index else client.get_security_bars
    return method(category, 1, "600036", 0, 100)


@pytest.mark.parametrize("index, category, body, expected", [
    (False, 8, WORKED, [WORKED_BAR]),
    (False, 7, WORKED, [WORKED_BAR]),
    (False, 9, WORKED, [dict(WORKED_BAR, datetime="3772-44-75 15:00")]),
    (False, 300, WORKED, [dict(WORKED_BAR, datetime="3772-44-75 15:00")]),
    (True, 8, WORKED, []),  # the 12-byte tail does not fit
    (True, 8, WORKED + b"\x2a\x00\xff\xff", [dict(WORKED_BAR, up_count=42, down_count=65535)]),
    (False, 4, b"\x01\x00" + bar(50102, 5, 0, 0, 0), [dict(
        WORKED_BAR, datetime="5-01-02 15:00", open=0.005, high=0.005, low=0.005, close=0.005)]),
    (False, 9, b"\x01\x00" + bar(0, 0, 0, 0, 0), [dict(
        WORKED_BAR, datetime="0-00-00 15:00", open=0.0, high=0.0, low=0.0, close=0.0)]),
    (False, 0, b"\x01\x00" + bytes(4) + b"\x00" * 4 + bytes(8), [{
        "datetime": "2004-00-00 00:00", "open": 0.0, "high": 0.0, "low": 0.0, "close": 0.0,
        "vol": 2.0 ** -127, "amount": 2.0 ** -127}]),
])
def test_worked_bodies(served_client, index, category, body, expected):
    hq, client = served_client
    result = bars(client, index, category, body, hq)
    assert result == expected
    assert [list(d) for d in result] == [list(d) for d in expected]  # key order


def test_open_is_a_difference_to_the_previous_close(served_client):
    hq, client = served_client
    body = b"\x02\x00" + bar(20240102, 10500, 20, 50, -10) + bar(20240103, 0, -1020, 3, -2000)
    got = [(b["open"], b["high"], b["low"], b["close"]) for b in bars(client, False, 9, body, hq)]
    assert got == [(10.5, 10.55, 10.49, 10.52), (10.52, 10.523, 8.52, 9.5)]


def test_price_sums_wrap_around(served_client):
    hq, client = served_client
    body = b"\x01\x00" + bar(20240102, 2**63 - 1, 1, 0, -(2**63 - 1))
    [b] = bars(client, False, 9, body, hq)
    assert (b["open"], b["close"], b["low"]) == ((2**63 - 1) / 1000.0, -(2**63) / 1000.0, 0.0)


TWO = b"\x02\x00" + bar(20240102, 10500, 20, 50, -10) + bar(20240103, 1, 2, 3, -4)
FIRST_END = 2 + len(bar(20240102, 10500, 20, 50, -10))


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
    hq, client = served_client
    result = bars(client, index, 9, body, hq)
    assert len(result) == count
    assert result == ref_bars(body, 9, index)


words = st.integers(0, 2**32 - 1).map(lambda w: struct.pack("<I", w))
diffs = st.one_of(st.integers(-70, 70), st.integers(-(2**63), 2**63 - 1))
bar_bytes = st.builds(lambda when, d, tail: when + b"".join(varint(v) for v in d) + tail,
                      words, st.tuples(diffs, diffs, diffs, diffs), st.binary(min_size=8, max_size=12))


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(records=st.lists(bar_bytes, max_size=6), extra=st.integers(-2, 3), cut=st.integers(0, 200),
       index=st.booleans(), category=st.sampled_from([0, 3, 4, 7, 8, 9, 11, 12, 65535]))
def test_structured_and_cut_bodies_match_the_reference(served_client, records, extra, cut, index, category):
    hq, client = served_client
    body = struct.pack("<H", max(0, len(records) + extra)) + b"".join(records)
    body = body[:len(body) - cut] if cut < len(body) else body
    assert bars(client, index, category, body, hq) == ref_bars(body, category, index)


@settings(max_examples=60, deadline=None)
@given(body=st.binary(max_size=120), index=st.booleans())
def test_random_bodies_match_the_reference(served_client, body, index):
    hq, client = served_client
    assert bars(client, index, 8, body, hq) == ref_bars(body, 8, index)
