"""Ex-rights records and the finance summary: request bytes, record layouts, short bodies."""
import struct

import pytest

from pelmora import records

COMMON = list(records.XDXR)
SHARE = list(records.XDXR_SHARES)
FINANCE_KEYS = list(records.FINANCE)


def f32(x):
    return struct.pack("<f", x)


def record(date, category, slots=bytes(16)):
    return bytes(8) + struct.pack("<IB", date, category) + slots


def xdxr(hq, client, *records, count=None, cut=0):
    body = bytes(9) + struct.pack("<H", len(records) if count is None else count) + b"".join(records)
    hq.reply(body[:len(body) - cut], compress=len(body) > 100)
    return client.get_xdxr_info(1, "600036")


@pytest.mark.parametrize("method, command", [("get_xdxr_info", 0x0F), ("get_finance_info", 0x10)])
@pytest.mark.parametrize("market, code, wire", [
    (1, "600036", b"600036"), (255, "000001X", b"000001"), (True, "12", b"12\0\0\0\0"),
    (2, "平安银", "平安".encode()),  # UTF-8 bytes cut inside the third character
])
def test_request_bytes(hq, client, method, command, market, code, wire):
    getattr(client, method)(market, code)
    prefix = bytes([0x0C, 0x1F, 0x18, 0x76, 0x00, 0x01, 0x0B, 0x00, 0x0B, 0x00, command, 0, 1, 0])
    assert hq.requests() == [prefix + bytes([market]) + wire]


@pytest.mark.parametrize("category, slots, values", [  # the two worked records
    (1, "0000c03f" "00000000" "0000003f" "00000000",
     {"fenhong": 1.5, "peigujia": 0.0, "songzhuangu": 0.5, "peigu": 0.0}),
    (5, "00000000" "00308046" "00000000" "00000043",
     dict(zip(SHARE, [0.0, 16408.0, 0.0, 128.0]))),
])
def test_xdxr_worked_records(hq, client, category, slots, values):
    [got] = xdxr(hq, client, bytes.fromhex("0000000000000000" "bbd73401") + bytes([category])
                 + bytes.fromhex(slots))
    name = {1: "除权除息", 5: "股本变化"}[category]
    assert got == {"year": 2024, "month": 3, "day": 15, "category": category, "name": name, **values}
    assert list(got) == COMMON + list(values)


SINGLES = f32(1.5) + f32(2.25) + f32(0.5) + f32(1.1)  # slots A..D
WORDS = bytes.fromhex("00000043" "00008046" "00000000" "10393046")
WORD_VALUES = dict(zip(SHARE, [128.0, 16384.0, 0.0, 11278.265625]))  # a zero word is 0.0
NAMES = "除权除息 送配股上市 非流通股上市 未知股本变动 股本变化 增发新股 股份回购 增发新股上市 " \
        "转配股上市 可转债上市 扩缩股 非流通股缩股 送认购权证 送认沽权证".split()


@pytest.mark.parametrize("category", [0, *range(1, 16), 200])
def test_xdxr_category_layouts(hq, client, category):
    layout = {1: dict(fenhong=1.5, peigujia=2.25, songzhuangu=0.5, peigu=1.100000023841858),
              11: dict(suogu=0.5), 12: dict(suogu=0.5),
              13: dict(xingquanjia=1.5, fenshu=0.5), 14: dict(xingquanjia=1.5, fenshu=0.5)}
    values = layout.get(category, WORD_VALUES)
    [got] = xdxr(hq, client, record(0, category, SINGLES if category in layout else WORDS))
    name = NAMES[category - 1] if 1 <= category <= 14 else "未知"
    assert got == dict(year=0, month=0, day=0, category=category, name=name, **values)
    assert list(got) == COMMON + list(values)
    assert tuple(got) == records.xdxr_keys(category)


@pytest.mark.parametrize("count, present, cut, decoded", [
    (0, 0, 11, 0), (0, 0, 1, 0), (3, 0, 0, 0), (2, 2, 1, 1), (0, 2, 0, 0), (2, 3, 0, 2), (300, 300, 0, 300),
])
def test_xdxr_short_bodies_keep_complete_records(hq, client, count, present, cut, decoded):
    records = [record(20000101 + i, 5 + i % 10) for i in range(present)]
    got = xdxr(hq, client, *records, count=count, cut=cut)
    assert [(r["month"], r["day"], r["category"]) for r in got] == \
        [(*divmod(101 + i, 100), 5 + i % 10) for i in range(decoded)]


@pytest.mark.parametrize("size", [0, 11, 140])
def test_finance_short_body_is_an_empty_dict(hq, client, size):
    hq.reply(b"\x42" * size)
    assert client.get_finance_info(1, "600036") == {}


def test_finance_record(hq, client):
    body = bytearray(b"\x7f" * 160)  # bytes from offset 141 on are not read
    body[9:25] = f32(0.1) + struct.pack("<HHII", 65535, 40000, 20241231, 0xFFFFFFF0)
    body[25:141] = b"".join(f32(k + 0.1) for k in range(29))
    hq.reply(body)
    got = client.get_finance_info(255, "600000X")
    assert list(got) == FINANCE_KEYS
    assert list(got.values())[:7] == [255, "600000X", 1000.0000149011612, 65535, 40000, 20241231,
                                      0xFFFFFFF0]
    # Singles are widened, then scaled in double precision (the unscaled two only widened).
    unscaled = {"gudongrenshu", "meigujingzichan"}
    assert [got[key] for key in FINANCE_KEYS[7:]] == [struct.unpack("<f", f32(k + 0.1))[0] * (
        1.0 if key in unscaled else 10000.0) for k, key in enumerate(FINANCE_KEYS[7:])]
    assert (got["zongguben"], got["meigujingzichan"]) == (1000.0000149011612, 28.100000381469727)
