"""Company information (0x02CF, 0x02D0) and server files (0x02C5, 0x06B9): request bytes,
decoding of whole, short and cut bodies, and argument checks."""
import struct

import pytest

CATEGORY = bytes.fromhex("0c0f109b00010e000e00cf02")
CONTENT = bytes.fromhex("0c07109c000168006800d002")
META = bytes.fromhex("0c3918690001 2a002a00 c502")
BLOCK = bytes.fromhex("0c37186a0001 6e006e00 b906")
REPORT = bytes.fromhex("0c1234000000 6e006e00 b906")
NAME45 = "block_zs.dat" + "x" * 33
BOARD = "板块" * 7  # 42 UTF-8 bytes: cut inside a character at 40
CHUNK = bytes(range(256)) * 117


def entry(name=b"", filename=b"", start=0, length=0):
    return name.ljust(64, b"\0") + filename.ljust(80, b"\0") + struct.pack("<II", start, length)


def content_body(text, n=None):
    return b"\xff" * 10 + struct.pack("<H", len(text) if n is None else n) + text


@pytest.mark.parametrize("method, args, expected", [
    ("get_company_info_category", (1, "6000369"), CATEGORY + b"\x01\x00600036" + bytes(4)),
    ("get_company_info_content", (1, "600036", "600036.txt", 0, 5000),
     CONTENT + b"\x01\x00600036\0\0" + b"600036.txt".ljust(80, b"\0")
     + b"\x00\x00\x00\x00\x88\x13\x00\x00" + bytes(4)),
    ("get_company_info_content", (2, "12", "f" * 90, 2**32 - 1, 2**32 - 2),
     CONTENT + b"\x02\x0012" + bytes(6) + b"f" * 80 + b"\xff\xff\xff\xff\xfe\xff\xff\xff" + bytes(4)),
    ("get_block_info_meta", ("block_zs.dat",), META + b"block_zs.dat" + bytes(28)),
    ("get_block_info_meta", (NAME45,), META + NAME45[:40].encode()),
    ("get_block_info_meta", (BOARD,), META + BOARD.encode()[:40]),
    ("get_block_info", ("block_zs.dat", 0, 30000),
     BLOCK + b"\0\0\0\0\x30\x75\0\0" + b"block_zs.dat" + bytes(88)),
    ("get_block_info", (NAME45, 2**32 - 1, 0x01020304),
     BLOCK + b"\xff\xff\xff\xff\x04\x03\x02\x01" + NAME45.encode() + bytes(55)),
    ("get_report_file", ("x", 0), REPORT + b"\0\0\0\0\x30\x75\0\0x" + bytes(99)),
    ("get_report_file", ("r" * 101, 70000), REPORT + b"\x70\x11\x01\x00\x30\x75\0\0" + b"r" * 100),
])
def test_request_bytes(hq, client, method, args, expected):
    hq.reply(bytes(40))
    getattr(client, method)(*args)
    assert hq.requests() == [expected]


@pytest.mark.parametrize("body, expected", [
    (b"", []),
    (b"\x01", []),
    (b"\x00\x00" + entry(b"a"), []),
    (b"\x01\x00" + entry(b"a")[:151], []),
    (b"\x01\x00" + entry(b"\xd7\xee\xd0\xc2\xcc\xe1\xca\xbe\0junk", b"600036.txt\0x", 0, 2**32 - 1),
     [("最新提示", "600036.txt", 0, 2**32 - 1)]),
    (b"\x05\x00" + entry(b"a", b"f", 1, 2) + entry(b"b", b"g", 3, 4) + entry(b"c", b"h", 5, 6)
     + entry(b"d")[:100], [("a", "f", 1, 2), ("b", "g", 3, 4), ("c", "h", 5, 6)]),
    (b"\x01\x00" + entry(b"a") + entry(b"b"), [("a", "", 0, 0)]),
    (b"\x01\x00" + entry("公司概况".encode("gbk") * 8, b"F" * 80, 7, 8),
     [("公司概况" * 8, "F" * 80, 7, 8)]),
    (b"\x01\x00" + entry(b"\x81", b"a\xffb\xc3"), [("\ufffd", "a\ufffdb\ufffd", 0, 0)]),
])
def test_category_decoding(hq, client, body, expected):
    hq.reply(body, compress=len(body) > 300)
    got = client.get_company_info_category(1, "600036")
    assert [tuple(d.values()) for d in got] == expected
    assert all(list(d) == ["name", "filename", "start", "length"] for d in got)


@pytest.mark.parametrize("body, expected", [
    (b"\xff" * 11, ""),
    (content_body(b""), ""),
    (content_body(b"abcdef", n=3), "abc"),
    (content_body(b"abc", n=500), "abc"),
    (content_body("公司\0简介\0\0".encode("gbk")), "公司\0简介\0\0"),
])
def test_content_decoding(hq, client, body, expected):
    hq.reply(body)
    assert client.get_company_info_content(1, "600036", "600036.txt", 0, 100) == expected


def meta_body(size=b"\x10\x00\x00\x00", hash_field=b"", extra=b"\xee"):
    return size + b"\xee" + hash_field.ljust(32, b"\0") + extra


@pytest.mark.parametrize("body, expected", [
    (meta_body(), {"size": 16, "hash_value": ""}),
    (meta_body(b"\xff\xff\xff\xff", b"h" * 31, extra=b"\xee" * 9), {"size": 2**32 - 1, "hash_value": "h" * 31}),
    (meta_body(hash_field=b"0123456789abcdef" * 2), {"size": 16, "hash_value": "0123456789abcdef" * 2}),
    (meta_body(hash_field=b"ab\0cd\xff"), {"size": 16, "hash_value": "ab\0cd\ufffd"}),
])
def test_block_meta_decoding(hq, client, body, expected):
    hq.reply(body)
    got = client.get_block_info_meta("block_zs.dat")
    assert got == expected and list(got) == ["size", "hash_value"]


@pytest.mark.parametrize("body", [b"", meta_body()[:37]])
def test_block_meta_malformed_keeps_connection(hq, client, body):
    hq.reply(body)
    with pytest.raises(RuntimeError, match=r"^Malformed block meta response$"):
        client.get_block_info_meta("block_zs.dat")
    hq.reply(meta_body())
    assert client.get_block_info_meta("block_zs.dat")["size"] == 16


@pytest.mark.parametrize("body, block, report", [
    (b"", b"", (0, b"")),
    (b"\x01\x02\x03", b"", (0, b"")),
    (b"\x01\x02\x03\x04", b"", (0x04030201, b"")),
    (b"\xff\xff\xff\xff" + CHUNK, CHUNK, (2**32 - 1, CHUNK)),
], ids=["empty", "3 bytes", "4 bytes", "29952 bytes"])
def test_file_chunks(hq, client, body, block, report):
    hq.reply(body, compress=True)
    hq.reply(body)
    assert client.get_block_info("block_zs.dat", 0, 30000) == block
    assert client.get_report_file("x", 0) == report


def test_argument_errors_send_nothing(hq, client):
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        client.get_block_info("block_zs.dat", -1, 0)
    with pytest.raises(TypeError, match="^argument 'filename': 'NoneType' object cannot be cast as 'str'$"):
        client.get_company_info_content(1, "600036", None, 0, 0)
    assert hq.requests() == []
    assert client.get_block_info(block_file="b", start=1, size=2) == b""
