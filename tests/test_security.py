"""Security count and security list pages, with the packed-float and text fields they carry."""
import struct

import pytest


def record(code=b"600036", volunit=100, name="平安银行".encode("gbk"), decimal_point=2,
           pre_close=b"\x00\x00\x00\x43"):
    rec = code + struct.pack("<H", volunit) + name.ljust(8, b"\0") + b"\xaa" * 4
    rec += bytes([decimal_point]) + pre_close + b"\xbb" * 4
    assert len(rec) == 29
    return rec


def test_requests(hq, client):
    hq.reply(b"\x34\x12\x99")
    assert client.get_security_count(True) == 4660
    hq.reply(b"\x00\x00")
    assert client.get_security_list(255, 65535) == []
    assert hq.requests() == [
        bytes.fromhex("0c0c186c0001080008004e04010075c73301"),
        bytes.fromhex("0c0118640101060006005004ff00ffff"),
    ]


@pytest.mark.parametrize("body", [b"", b"\x01"])
def test_short_bodies_are_malformed(hq, client, body):
    hq.reply(body)
    with pytest.raises(RuntimeError, match="^Malformed security count response: expected at least 2 bytes$"):
        client.get_security_count(0)
    hq.reply(body)
    with pytest.raises(RuntimeError, match="^Malformed security list response: expected at least 2 bytes$"):
        client.get_security_list(0, 0)
    hq.reply(b"\x02\x00")
    assert client.get_security_count(0) == 2  # the connection is still in step


@pytest.mark.parametrize("body, count", [
    (b"\x05\x00", 0),
    (b"\x00\x00" + record(), 0),
    (b"\x03\x00" + record() * 2 + b"\x00" * 10, 2),
    (b"\x01\x00" + record() + b"\x00" * 100, 1),
    (b"\x02\x00" + record() + record()[:28], 1),
])
def test_record_counts(hq, client, body, count):
    hq.reply(body, compress=len(body) > 40)
    got = client.get_security_list(1, 0)
    assert len(got) == count
    if count:
        assert got[0] == {"code": "600036", "volunit": 100, "name": "平安银行",
                          "decimal_point": 2, "pre_close": 128.0}
        assert list(got[0]) == ["code", "volunit", "name", "decimal_point", "pre_close"]


@pytest.mark.parametrize("field, expected", [
    (dict(code=b"600036"), {"code": "600036"}),
    (dict(code=b"00001\0"), {"code": "00001"}),
    (dict(code=b"\0" * 6), {"code": ""}),
    (dict(code=b"60\xff036"), {"code": "60\ufffd036"}),
    (dict(code=b"6\0" + b"0036"), {"code": "6\x000036"}),
    (dict(name="平安".encode("gbk") + b"\0" * 4), {"name": "平安"}),
    (dict(name=b"\xc6\xbd\0\0\xb0\xb2\0\0"), {"name": "平\0\0安"}),
    (dict(name=b"\xef\xbb\xbfabc\xe5\x8c"), {"name": "abc\ufffd"}),
    (dict(name=b"AB\x81"), {"name": "AB\ufffd"}),
    (dict(volunit=65535, decimal_point=255), {"volunit": 65535, "decimal_point": 255}),
])
def test_fields(hq, client, field, expected):
    hq.reply(b"\x01\x00" + record(**field))
    got = client.get_security_list(0, 0)[0]
    assert {k: got[k] for k in expected} == expected


# The packed 32-bit float word, least significant byte first.
@pytest.mark.parametrize("word, value", [
    ("00000000", 2.0 ** -127),
    ("0000003f", 0.5),
    ("00000043", 128.0),
    ("00008046", 16384.0),
    ("10393046", 11278.265625),
    ("10399046", 18460.53125),
    ("00801c4a", 2564096.0),
    ("00002040", 2050.0),
    ("01028043", 128.0 + 128.0 + 2.0 ** -8 * 2 * 2 + 2.0 ** -16 * 1 * 2),  # b2 == 128: Y by b3, Z and W doubled
    ("ffffffff", 2.0 ** 383 + 2.0 ** 376 * 128 + 2.0 ** 377 * 127 + 2.0 ** 368 * 255 * 2
     + 2.0 ** 360 * 255 * 2),
])
def test_packed_float(hq, client, word, value):
    hq.reply(b"\x01\x00" + record(pre_close=bytes.fromhex(word)))
    assert client.get_security_list(0, 0)[0]["pre_close"] == value
