"""Decoding of minute-time and transaction bodies, today's and a past day's."""
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from market_ref import ref_minute, ref_transactions, varint


def minute(served_client, history, body):
    hq, client = served_client
    hq.reply(body)
    return (client.get_history_minute_time_data(0, "000001", 20260101) if history
            else client.get_minute_time_data(0, "000001"))


def transactions(served_client, history, body):
    hq, client = served_client
    hq.reply(body)
    return (client.get_history_transaction_data(0, "000001", 0, 100, 20260101) if history
            else client.get_transaction_data(0, "000001", 0, 100))


def prices(*values):
    return b"".join(varint(v) for v in values)


@pytest.mark.parametrize("history, body, expected", [
    (False, bytes.fromhex("02000000A80F00AC040507B801"), [(10.0, 300), (10.05, 120)]),
    (True, bytes.fromhex("020000000000A80F00AC040507B801"), [(10.0, 300), (10.05, 120)]),
    (False, b"\x03\x00\x00\x00" + prices(1000, 7, 1, 5, 1000000, 2, -3, 0, -4), [(10.0, 1), (10.05, 2), (10.02, -4)]),
    (False, b"\x03\x00\x00\x00\x05", [(0.05, 0)]),  # a record cut by the body keeps zeros
    (False, b"\x03\x00\x00\x00", []),
    (True, b"\x03\x00\x00\x00\x05\x06", []),
    (False, b"\x00\x00\x00\x00" + prices(1, 1, 1), []),
    (False, b"\x01", []),
    (False, b"", []),
    (False, b"\x01\x00\x00\x00" + prices(1, 1, 1, 5, 5, 5), [(0.01, 1)]),  # N stops first
    (False, b"\x05\x00\x00\x00" + prices(1, 2) + b"\x81", [(0.01, 1)]),  # lone continuation byte
    (False, b"\x02\x00\x00\x00" + prices(2**63 - 1, 0, 0, 1, 0, 0), [((2**63 - 1) / 100.0, 0), (-(2**63) / 100.0, 0)]),
])
def test_minute_bodies(served_client, history, body, expected):
    result = minute(served_client, history, body)
    assert [(r["price"], r["vol"]) for r in result] == expected
    assert all(list(r) == ["price", "vol"] for r in result)


TODAY = bytes.fromhex("01003B02921305020100")


@pytest.mark.parametrize("history, body, expected", [
    (False, TODAY, [{"time": "09:31", "price": 12.34, "vol": 5, "num": 2, "buyorsell": 1}]),
    (True, TODAY, [{"time": "08:37", "price": 0.01, "vol": 0, "buyorsell": 0}]),
    (False, b"\x01\x00\x3b", []),
    (False, b"\x01\x00\x3b\x02", [{"time": "09:31", "price": 0.0, "vol": 0, "num": 0, "buyorsell": 0}]),
    (True, b"\x01\x00\x00\x00\x00", []),
    (False, b"\x03\x00" + struct.pack("<H", 900) + prices(1234, 1, 2, 3, 4) + struct.pack("<H", 6000)
     + prices(1, -1, -2, -3, 0) + struct.pack("<H", 0) + prices(-2, 7, 8, 9, 9), [
        {"time": "15:00", "price": 12.34, "vol": 1, "num": 2, "buyorsell": 3},
        {"time": "100:00", "price": 12.35, "vol": -1, "num": -2, "buyorsell": -3},
        {"time": "00:00", "price": 12.33, "vol": 7, "num": 8, "buyorsell": 9}]),
    # The mended fault: the skipped value ends in a lone continuation byte, leaving the cursor
    # one past the end; the next record's two time bytes are not there to read.
    (False, b"\x02\x00" + struct.pack("<H", 571) + prices(1, 2, 3, 4) + b"\x80", [
        {"time": "09:31", "price": 0.01, "vol": 2, "num": 3, "buyorsell": 4}]),
    (True, b"\x02\x00\x00\x00\x00\x00" + struct.pack("<H", 571) + prices(1, 2, 3) + b"\x80", [
        {"time": "09:31", "price": 0.01, "vol": 2, "buyorsell": 3}]),
])
def test_transaction_bodies(served_client, history, body, expected):
    result = transactions(served_client, history, body)
    assert result == expected
    assert [list(r) for r in result] == [list(r) for r in expected]


values = st.one_of(st.integers(-70, 70), st.integers(-(2**63), 2**63 - 1))
records = st.lists(st.tuples(st.integers(0, 65535), st.lists(values, min_size=6, max_size=6)), max_size=6)


@settings(max_examples=120, deadline=None)
@given(recs=records, extra=st.integers(-2, 3), cut=st.integers(0, 60), history=st.booleans(),
       noise=st.one_of(st.none(), st.binary(max_size=80)))
def test_bodies_match_the_reference(served_client, recs, extra, cut, history, noise):
    """Records with a count off by a little and cut at the end, or random bytes (noise)."""
    head = struct.pack("<H", max(0, len(recs) + extra)) + bytes(4 if history else 0)
    minute_body = head + bytes(2) + b"".join(prices(*v[:3]) for _, v in recs)
    tx_body = head + b"".join(struct.pack("<H", t) + prices(*v[:5 if history else 6]) for t, v in recs)
    if noise is not None:
        minute_body = tx_body = noise
    minute_body, tx_body = minute_body[:-cut or None], tx_body[:-cut or None]
    assert minute(served_client, history, minute_body) == ref_minute(minute_body, history)
    assert transactions(served_client, history, tx_body) == ref_transactions(tx_body, history)
