"""Decoding of security quote bodies."""
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from market_ref import ref_quotes, varint

LEVEL = bytes.fromhex("41010A14")
ENTRY = bytes.fromhex("01363030303030" "0000" "A80F540005450000A401010000004302030000") + LEVEL * 5
WORKED = bytes.fromhex("00000100") + ENTRY + bytes(10)
WORKED_QUOTE = {"market": 1, "code": "600000", "price": 10.0, "last_close": 9.8, "open": 10.0,
                "high": 10.05, "low": 9.95, "servertime": 0, "vol": 100, "cur_vol": 1,
                "amount": 128.0, "s_vol": 2, "b_vol": 3}
for _level in range(1, 6):
    WORKED_QUOTE.update({f"bid{_level}": 9.99, f"ask{_level}": 10.01,
                         f"bid_vol{_level}": 10, f"ask_vol{_level}": 20})


def quotes(served_client, body):
    hq, client = served_client
    hq.reply(body)
    return client.get_security_quotes([(1, "600000")])


def entry(code=b"600000", price=1000, diffs=(-20, 0, 5, -5), values=(0, 0, 100, 1)):
    head = b"\x00\x00\x01\x00\x00" + code + b"\0\0" + b"".join(map(varint, (price, *diffs, *values)))
    return head + b"\0\0\0\x43" + varint(2) + varint(3) + b"\0\0" + LEVEL * 5 + bytes(10)


def test_worked_body(served_client):
    assert len(WORKED) == 62
    [q] = quotes(served_client, WORKED)
    assert q == WORKED_QUOTE and list(q) == list(WORKED_QUOTE)


@pytest.mark.parametrize("body, count", [
    (b"", 0), (b"\x00", 0), (b"\x00\x00\x01", 0),
    (b"\x00\x00\x00\x00" + ENTRY + bytes(10), 0),  # N = 0
    (WORKED[:-10], 0),  # ends right after the fifth level
    (WORKED[:-9], 1),  # one trailer byte is enough
    (WORKED[:-4], 1),
    (b"\x00\x00\x05\x00" + ENTRY + bytes(10) + ENTRY + bytes(10), 2),  # N larger than present
    (b"\x00\x00\x02\x00" + ENTRY + bytes(10) + ENTRY[:8], 1),  # second entry cut in its 9 bytes
    (b"\x00\x00\x02\x00" + ENTRY + bytes(10) + ENTRY[:20], 1),  # cut before the amount
    # The mended fault: a lone continuation byte just before the 4-byte amount leaves the cursor
    # one past the end; the amount must not be read from beyond the body.
    (b"\x00\x00\x01\x00" + ENTRY[:17] + b"\x80", 0),
    (b"\x00\x00\x01\x00" + ENTRY[:17] + b"\x80\x80\x80", 0),
    (b"\x00\x00\x01\x00" + ENTRY + b"\x00\x00\x80", 1),  # a trailer cut inside its values
])
def test_truncated_bodies(served_client, body, count):
    result = quotes(served_client, body)
    assert len(result) == count and result == ref_quotes(body)


@pytest.mark.parametrize("code, text", [
    (b"000001", "000001"), (b"00001\0", "00001"), (b"\0\0\0\0\0\0", ""), (b"0\x000\0\0\0", "0\x000"),
    (b"\xe4\xb8\xad\xe5\x9b\xbd", "中国"), (b"60000\xff", ""), (b"\xe4\xb8\xad\xe5\x9b\0", ""),
])
def test_codes(served_client, code, text):
    assert quotes(served_client, entry(code=code))[0]["code"] == text


def test_price_sums_wrap_around(served_client):
    [q] = quotes(served_client, entry(price=2**63 - 1, diffs=(1, -(2**63 - 1), 0, 0),
                                      values=(-7, 2**63 - 1, -(2**63 - 1), 5)))
    assert (q["price"], q["last_close"], q["open"]) == ((2**63 - 1) / 100.0, -(2**63) / 100.0, 0.0)
    assert (q["servertime"], q["vol"], q["cur_vol"]) == (-7, -(2**63 - 1), 5)
    assert (q["bid1"], q["ask1"]) == ((2**63 - 1 - 1) / 100.0, -(2**63) / 100.0)


values = st.one_of(st.integers(-70, 70), st.integers(-(2**63), 2**63 - 1))
entries = st.builds(lambda fixed, vals, amount, trailer: fixed + b"".join(map(varint, vals[:9])) + amount
                    + b"".join(map(varint, vals[9:])) + trailer, st.binary(min_size=9, max_size=9),
                    st.lists(values, min_size=33, max_size=33), st.binary(min_size=4, max_size=4),
                    st.binary(max_size=12))
structured = st.builds(lambda recs, extra, cut: (b"\x00\x00" + max(0, len(recs) + extra).to_bytes(2, "little")
                                                 + b"".join(recs))[:-cut or None],
                       st.lists(entries, max_size=4), st.integers(-1, 3), st.integers(0, 300))


@settings(max_examples=120, deadline=None)
@given(body=st.one_of(structured, st.binary(max_size=160)))
def test_bodies_match_the_reference(served_client, body):
    assert quotes(served_client, body) == ref_quotes(body)
