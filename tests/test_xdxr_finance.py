"""Ex-rights records and the finance summary: request bytes, record layouts, short bodies."""
import struct

import pytest

from pelmora import TdxClient

XDXR_NAMES = {1: "除权除息", 2: "送配股上市", 3: "非流通股上市", 4: "未知股本变动", 5: "股本变化",
              6: "增发新股", 7: "股份回购", 8: "增发新股上市", 9: "转配股上市", 10: "可转债上市",
              11: "扩缩股", 12: "非流通股缩股", 13: "送认购权证", 14: "送认沽权证"}
SHARE_KEYS = ["panqianliutong", "qianzongguben", "panhouliutong", "houzongguben"]
COMMON = ["year", "month", "day", "category", "name"]

FINANCE_KEYS = [
    "market", "code", "liutongguben", "province", "industry", "updated_date", "ipo_date",
    "zongguben", "guojiagu", "faqirenfarengu", "farengu", "bgu", "hgu", "zhigonggu", "zongzichan",
    "liudongzichan", "gudingzichan", "wuxingzichan", "gudongrenshu", "liudongfuzhai",
    "changqifuzhai", "zibengongjijin", "jingzichan", "zhuyingshouru", "zhuyinglirun",
    "yingshouzhangkuan", "yingyelirun", "touzishouyu", "jingyingxianjinliu", "zongxianjinliu",
    "cunhuo", "lirunzonghe", "shuihoulirun", "jinglirun", "weifenpeilirun", "meigujingzichan",
]
UNSCALED = {"gudongrenshu", "meigujingzichan"}


def f32(x):
    return struct.pack("<f", x)


def widened(x):
    return struct.unpack("<f", f32(x))[0]


def xdxr_record(date=20240315, category=1, slots=(bytes(4),) * 4, lead=bytes(8)):
    rec = lead + struct.pack("<IB", date, category) + b"".join(slots)
    assert len(rec) == 29
    return rec


def xdxr_body(*records, count=None):
    return bytes(9) + struct.pack("<H", len(records) if count is None else count) + b"".join(records)


def decode_xdxr(hq, client, body, **reply):
    hq.reply(body, **reply)
    return client.get_xdxr_info(1, "600036")


def decode_finance(hq, client, body, market=1, code="600036"):
    hq.reply(body, compress=len(body) > 100)
    return client.get_finance_info(market, code)


# ---------------------------------------------------------------- requests

@pytest.mark.parametrize("method, command", [("get_xdxr_info", 0x0F), ("get_finance_info", 0x10)])
@pytest.mark.parametrize("market, code, wire", [
    (1, "600036", b"600036"),
    (0, "000001X", b"000001"),  # cut to six bytes
    (255, "12", b"12\0\0\0\0"),  # filled up with zero bytes
    (True, "平安", "平安".encode()),  # UTF-8 bytes, exactly six here
    (2, "平安银", "平安".encode()),  # cut inside the third character's bytes
    (7, "", bytes(6)),
])
def test_request_bytes(hq, client, method, command, market, code, wire):
    getattr(client, method)(market, code)
    expected = bytes([0x0C, 0x1F, 0x18, 0x76, 0x00, 0x01, 0x0B, 0x00, 0x0B, 0x00, command, 0x00,
                      0x01, 0x00, int(market)]) + wire
    assert hq.requests() == [expected]


@pytest.mark.parametrize("method", ["get_xdxr_info", "get_finance_info"])
@pytest.mark.parametrize("args, exc, message", [
    ((256, "600036"), OverflowError, "out of range integral type conversion attempted"),
    ((-1, "600036"), OverflowError, "out of range integral type conversion attempted"),
    (("1", "600036"), TypeError, "argument 'market': 'str' object cannot be interpreted as an integer"),
    ((1, 600036), TypeError, "argument 'code': 'int' object cannot be cast as 'str'"),
    ((1, "600036"), ConnectionError, "Not connected"),
])
def test_argument_errors_come_before_the_connection_check(method, args, exc, message):
    with pytest.raises(exc) as info:
        getattr(TdxClient(), method)(*args)
    assert str(info.value) == message and type(info.value) is exc


# ---------------------------------------------------------------- ex-rights records

def test_xdxr_worked_body(hq, client):
    body = bytes.fromhex("000000000000000000" "0100" "0000000000000000" "bbd73401" "01"
                         "0000c03f" "00000000" "0000003f" "00000000")
    assert len(body) == 40
    got = decode_xdxr(hq, client, body)
    assert got == [{"year": 2024, "month": 3, "day": 15, "category": 1, "name": "除权除息",
                    "fenhong": 1.5, "peigujia": 0.0, "songzhuangu": 0.5, "peigu": 0.0}]
    assert list(got[0]) == COMMON + ["fenhong", "peigujia", "songzhuangu", "peigu"]


def test_xdxr_worked_share_capital_variant(hq, client):
    body = bytes.fromhex("000000000000000000" "0100" "0000000000000000" "bbd73401" "05"
                         "00000000" "00308046" "00000000" "00000043")
    got = decode_xdxr(hq, client, body)
    assert got == [{"year": 2024, "month": 3, "day": 15, "category": 5, "name": "股本变化",
                    "panqianliutong": 0.0, "qianzongguben": 16408.0, "panhouliutong": 0.0,
                    "houzongguben": 128.0}]
    assert list(got[0]) == COMMON + SHARE_KEYS


# Slots A..D hold the singles 1.5, 2.25, 0.5, 1.1 (or, for share-capital categories, the words
# below); each category keeps only its own slots, in its own key order.
SINGLE_SLOTS = (f32(1.5), f32(2.25), f32(0.5), f32(1.1))
WORD_SLOTS = (bytes.fromhex("00000043"), bytes.fromhex("00008046"), bytes(4),
              bytes.fromhex("10393046"))
SHARE_VALUES = dict(zip(SHARE_KEYS, [128.0, 16384.0, 0.0, 11278.265625]))


@pytest.mark.parametrize("category", [0, *range(1, 16), 200, 255])
def test_xdxr_category_layouts(hq, client, category):
    layout = {1: {"fenhong": 1.5, "peigujia": 2.25, "songzhuangu": 0.5, "peigu": 1.100000023841858},
              11: {"suogu": 0.5}, 12: {"suogu": 0.5},
              13: {"xingquanjia": 1.5, "fenshu": 0.5}, 14: {"xingquanjia": 1.5, "fenshu": 0.5}}
    slots = SINGLE_SLOTS if category in layout else WORD_SLOTS
    [got] = decode_xdxr(hq, client, xdxr_body(xdxr_record(category=category, slots=slots)))
    values = layout.get(category, SHARE_VALUES)
    assert got == {"year": 2024, "month": 3, "day": 15, "category": category,
                   "name": XDXR_NAMES.get(category, "未知"), **values}
    assert list(got) == COMMON + list(values)
    assert all(type(got[k]) is float for k in values)


@pytest.mark.parametrize("date, ymd", [(20240315, (2024, 3, 15)), (0, (0, 0, 0)),
                                       (19991399, (1999, 13, 99)), (0xFFFFFFFF, (429496, 72, 95))])
def test_xdxr_dates_are_not_validated(hq, client, date, ymd):
    [got] = decode_xdxr(hq, client, xdxr_body(xdxr_record(date=date, category=1, lead=b"\xff" * 8)))
    assert (got["year"], got["month"], got["day"]) == ymd


def dated(n):
    return [xdxr_record(date=20000101 + i) for i in range(n)]


@pytest.mark.parametrize("body, count", [
    (b"", 0),
    (bytes(10), 0),
    (xdxr_body(count=3), 0),  # 11 bytes announcing three records
    (xdxr_body(*dated(1), xdxr_record()[:28], count=2), 1),
    (xdxr_body(*dated(2), count=0), 0),
    (xdxr_body(*dated(3), count=2), 2),  # stops at N
    (xdxr_body(*dated(300)), 300),
], ids=["empty", "10 bytes", "11 bytes", "cut second", "N=0", "extra records", "300"])
def test_xdxr_record_counts(hq, client, body, count):
    got = decode_xdxr(hq, client, body, compress=len(body) > 100)
    assert [(r["year"], r["month"], r["day"]) for r in got] == \
        [(2000, *divmod(101 + i, 100)) for i in range(count)]


def test_xdxr_records_keep_body_order_and_connection(hq, client):
    body = xdxr_body(xdxr_record(category=11), xdxr_record(category=5, date=20230101),
                     xdxr_record(category=13, date=19900102))
    got = decode_xdxr(hq, client, body)
    assert [(r["category"], r["year"]) for r in got] == [(11, 2024), (5, 2023), (13, 1990)]
    assert got[1]["panqianliutong"] == 0.0  # zero words are 0.0, not the packed form's 2**-127
    assert decode_xdxr(hq, client, xdxr_body()) == []  # the connection is still in step


# ---------------------------------------------------------------- finance summary

def finance_body(size=141, fill=b"\0"):
    return bytearray(fill * size)


@pytest.mark.parametrize("size", [0, 1, 11, 140])
def test_finance_short_body_is_an_empty_dict(hq, client, size):
    assert decode_finance(hq, client, bytes(finance_body(size, b"\x42"))) == {}


def test_finance_full_record(hq, client):
    body = finance_body(160, b"\x7f")  # bytes past offset 141 are not read
    body[9:25] = f32(0.1) + struct.pack("<HHII", 65535, 40000, 20241231, 0xFFFFFFF0)
    for k in range(29):
        body[25 + 4 * k:29 + 4 * k] = f32(k + 0.5)
    got = decode_finance(hq, client, bytes(body), market=1, code="600000X")
    assert list(got) == FINANCE_KEYS
    assert got["market"] == 1 and got["code"] == "600000X"
    assert (got["province"], got["industry"], got["updated_date"], got["ipo_date"]) == \
        (65535, 40000, 20241231, 0xFFFFFFF0)
    assert got["liutongguben"] == widened(0.1) * 10000.0
    for k, key in enumerate(FINANCE_KEYS[7:]):
        assert got[key] == (k + 0.5) * (1.0 if key in UNSCALED else 10000.0), key
        assert type(got[key]) is float


@pytest.mark.parametrize("offset, key, value", [
    (25, "zongguben", 15000.0),
    (69, "gudongrenshu", 1.5),
    (137, "meigujingzichan", 1.5),
    (133, "weifenpeilirun", 15000.0),
])
def test_finance_scaling_is_bound_to_the_key(hq, client, offset, key, value):
    body = finance_body()
    body[offset:offset + 4] = f32(1.5)
    got = decode_finance(hq, client, bytes(body))
    assert got[key] == value
    assert [k for k in FINANCE_KEYS[7:] if got[k] != 0.0] == [key]


@pytest.mark.parametrize("offset, key, value", [
    (137, "meigujingzichan", 0.10000000149011612),
    (25, "zongguben", 1000.0000149011612),
    (9, "liutongguben", 1000.0000149011612),
])
def test_finance_singles_are_widened_before_scaling(hq, client, offset, key, value):
    body = finance_body()
    body[offset:offset + 4] = f32(0.1)
    assert decode_finance(hq, client, bytes(body))[key] == value


def test_finance_returns_the_arguments_whatever_the_body(hq, client):
    body = finance_body(141, b"\x01")
    got = decode_finance(hq, client, bytes(body), market=255, code="平安银行")
    assert (got["market"], got["code"]) == (255, "平安银行")
