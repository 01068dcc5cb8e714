"""The simulated HQ server of pelmora.testing: its encoders checked against the client's
decoders, its framing, and the agreement of everything it serves, read through TdxClient."""
import datetime
import hashlib
import itertools
import random
import re
import socket
import struct
import subprocess
import sys
import zlib

import pytest

from pelmora import TdxClient
from pelmora.testing import encode_price, encode_volume, quantize_volume, serve
from pelmora.testing.wire import decode_volume, volume_word

# ---------------------------------------------------------------------- encoders


@pytest.mark.parametrize("value, hex_bytes", [
    (5, "05"), (-5, "45"), (63, "3f"), (-63, "7f"), (65, "8101"), (-65, "c101"),
    (8191, "bf7f"), (8906, "8a8b01"), (0, "00"), (64, "8001"),
])
def test_encode_price_known_bytes(value, hex_bytes):
    assert encode_price(value).hex() == hex_bytes


def minute_body(values):
    """A today's minute-time body whose records carry `values` as price steps and volumes."""
    recs = b"".join(encode_price(v) + encode_price(-v) + encode_price(v) for v in values)
    return struct.pack("<H", len(values)) + b"\0\0" + recs


def test_client_decodes_encoded_integers(hq, client):
    rng = random.Random(11)
    values = [0, 1, -1, 63, -63, 64, -64, 8191, 8192, -8192, 2**20 + 3, -(2**40) - 7,
              2**62 + 12345, -(2**62)] + [rng.randrange(-2**50, 2**50) for _ in range(300)]
    hq.reply(minute_body(values), compress=True)
    got = client.get_minute_time_data(1, "600036")
    assert [r["vol"] for r in got] == values
    running = list(itertools.accumulate(values))
    assert [r["price"] for r in got] == [v / 100.0 for v in running]


def list_body(words):
    recs = b"".join(b"600036" + struct.pack("<H", 100) + b"name\0\0\0\0" + bytes(4) + b"\x02"
                    + struct.pack("<I", w) + bytes(4) for w in words)
    return struct.pack("<H", len(words)) + recs


def test_decode_volume_matches_the_client_on_random_words(hq, client):
    rng = random.Random(5)
    words = [0, 0x3F000000, 0x43000000, 0x46800000, 0x46303910, 0x46903910, 0x4A1C8000,
             0x40200000, 0x42800000, 0x41800000] + [rng.getrandbits(32) for _ in range(1000)]
    hq.reply(list_body(words), compress=True)
    got = [r["pre_close"] for r in client.get_security_list(1, 0)]
    assert got == [decode_volume(w) for w in words]


@pytest.mark.parametrize("value", [128.0, 11278.265625, 2564096.0, 2.0**24, 12345679.0 * 8,
                                   3050.5, 27.5, 7.25, 1.5, 0.5, 64.0, 2.0**200, 100.0])
def test_encode_volume_exact_values(value):
    assert decode_volume(volume_word(value)) == value
    assert quantize_volume(value) == value
    assert encode_volume(value) == struct.pack("<I", volume_word(value))


@pytest.mark.parametrize("value", [10.52, 0.75, 4.0, 1.0, 33.33, 123456789.0, 1e30])
def test_encode_volume_nearest_values(value):
    """Values without an exact word come back as close as any regular word or random word."""
    got = quantize_volume(value)
    assert got != value
    err = abs(got - value)
    rng = random.Random(int(value * 1000))
    regular = struct.unpack("<I", struct.pack("<f", value))[0] if value < 2**127 else 0
    for w in [regular, regular + 1, regular - 1] + [rng.getrandbits(32) for _ in range(3000)]:
        assert err <= abs(decode_volume(w) - value)
    if value >= 128:
        assert err <= value * 2.0**-24


def test_encode_volume_of_zero_and_below_is_the_zero_word():
    assert [volume_word(v) for v in (0, -3.5, 0.0)] == [0, 0, 0]


# ---------------------------------------------------------------------- framing


def request(cmd, params=b""):
    n = 2 + len(params)
    return b"\x0c\x01\x02\x03\x04\x05" + struct.pack("<HHH", n, n, cmd) + params


def exchange(sock, req):
    sock.sendall(req)
    head = b""
    while len(head) < 16:
        head += sock.recv(16 - len(head))
    z, u = struct.unpack_from("<HH", head, 12)
    wire = b""
    while len(wire) < z:
        wire += sock.recv(z - len(wire))
    return z, u, (wire if z == u else zlib.decompress(wire))


def test_raw_framing(sim):
    with socket.create_connection((sim.host, sim.port), timeout=5) as s:
        setup = [exchange(s, request(0x000D, b"\x01")), exchange(s, request(0x000D, b"\x02")),
                 exchange(s, request(0x0FDB, bytes(30)))]
        assert all(z == u > 0 for z, u, _ in setup)
        assert exchange(s, request(0x7777, b"abc")) == (0, 0, b"")      # unknown command
        assert exchange(s, request(0x052D, b"\x01\x00")) == (0, 0, b"")  # cut-short request
        z, u, body = exchange(s, request(0x044E, b"\x01\x00\x75\xc7\x33\x01"))
        assert (z, u, body) == (2, 2, struct.pack("<H", 1106))
        z, u, body = exchange(s, request(0x0450, struct.pack("<HH", 0, 0)))
        assert z < u == len(body) == 2 + 29 * 1000  # large bodies travel compressed


# ---------------------------------------------------------------------- agreement

KEYS = [(1, "600036"), (0, "300750"), (1, "000001"), (0, "399001"), (1, "603017")]


def today_index(m):
    return len(m.days) - 1


def test_security_list_pages_give_the_whole_market(sim_client, sim_market):
    for market in (0, 1):
        count = sim_client.get_security_count(market)
        got = sim_client.get_security_list(market, 0) + sim_client.get_security_list(market, 1000)
        assert len(got) == count == len(sim_market.securities(market)) == 1106
        assert got == [{"code": s.code, "volunit": 100, "name": s.name, "decimal_point": 2,
                        "pre_close": s.pre_close / 100} for s in sim_market.securities(market)]
        assert sim_client.get_security_list(market, 1106) == []


def bars_of(client, sec, *args):
    method = client.get_index_bars if sec.is_index else client.get_security_bars
    return method(args[0], sec.market, sec.code, *args[1:])


@pytest.mark.parametrize("key", KEYS)
def test_quote_agrees_with_bars_minutes_and_ticks(sim_client, sim_market, key):
    quote, = sim_client.get_security_quotes([key])
    sec = sim_market.security(*key)
    minutes = sim_client.get_minute_time_data(*key)
    yesterday, today = bars_of(sim_client, sec, 9, 0, 2)
    ticks = sim_client.get_transaction_data(*key, 0, 800)
    ticks = sim_client.get_transaction_data(*key, 800, 800) + ticks
    one_min = bars_of(sim_client, sec, 8, 0, 240)
    listed, = [r for start in (0, 1000) for r in sim_client.get_security_list(key[0], start)
               if r["code"] == key[1]]
    assert len(minutes) == 240 and len(ticks) == 960 and len(one_min) == 240
    assert quote["price"] == minutes[-1]["price"] == today["close"] == ticks[-1]["price"]
    assert quote["last_close"] == yesterday["close"] == listed["pre_close"] == sec.pre_close / 100
    assert (quote["open"], quote["high"], quote["low"]) == \
        (today["open"], today["high"], today["low"])
    assert quote["vol"] == sum(m["vol"] for m in minutes) == sum(t["vol"] for t in ticks)
    assert quote["s_vol"] + quote["b_vol"] == quote["vol"]
    assert quote["cur_vol"] == ticks[-1]["vol"]
    assert today["vol"] == quantize_volume(quote["vol"]) and quote["amount"] == today["amount"]
    assert [b["close"] for b in one_min] == [m["price"] for m in minutes]
    assert one_min[0]["open"] == today["open"]
    assert max(b["high"] for b in one_min) == today["high"]
    assert min(b["low"] for b in one_min) == today["low"]
    by_minute = [list(g) for _, g in itertools.groupby(ticks, key=lambda t: t["time"])]
    assert [[t["price"] for t in g] for g in by_minute] == \
        [[b["open"], b["high"], b["low"], b["close"]] if g[1]["price"] == b["high"] else
         [b["open"], b["low"], b["high"], b["close"]] for g, b in zip(by_minute, one_min)]
    assert [sum(t["vol"] for t in g) for g in by_minute] == [m["vol"] for m in minutes]
    assert by_minute[0][0]["time"] == "09:30" and one_min[0]["datetime"].endswith("09:31")
    levels = [(quote[f"bid{i}"], quote[f"ask{i}"]) for i in range(1, 6)]
    cents = round(quote["price"] * 100)
    assert levels == ([(0.0, 0.0)] * 5 if sec.is_index else
                      [((cents - i) / 100, (cents + i) / 100) for i in range(1, 6)])


@pytest.mark.parametrize("category, minutes", [(0, 5), (1, 15), (2, 30), (3, 60)])
def test_intraday_bars_group_one_minute_bars(sim_client, category, minutes):
    one = sim_client.get_security_bars(8, 1, "600036", 0, 240)
    grouped = sim_client.get_security_bars(category, 1, "600036", 0, 240 // minutes)
    assert len(grouped) == 240 // minutes
    for i, bar in enumerate(grouped):
        part = one[i * minutes:(i + 1) * minutes]
        assert bar["datetime"] == part[-1]["datetime"]
        assert (bar["open"], bar["close"]) == (part[0]["open"], part[-1]["close"])
        assert bar["high"] == max(b["high"] for b in part)
        assert bar["low"] == min(b["low"] for b in part)
        assert bar["vol"] == sum(b["vol"] for b in part)  # below 2**24: exact


@pytest.mark.parametrize("category, period", [(5, "week"), (6, "month"), (10, "quarter"),
                                              (11, "year"), (4, "day")])
def test_long_bars_group_day_bars(sim_client, sim_market, category, period):
    days = sim_client.get_security_bars(9, 0, "300750", 0, 800)
    days = sim_client.get_security_bars(9, 0, "300750", 800, 800) + days
    assert len(days) == 1000 and days[-1]["datetime"] == "2025-06-13 15:00"
    longer = sim_client.get_security_bars(category, 0, "300750", 0, 800)
    key = {"week": lambda d: datetime.date.fromisoformat(d[:10]).isocalendar()[:2],
           "month": lambda d: d[:7], "quarter": lambda d: (d[:4], (int(d[5:7]) - 1) // 3),
           "year": lambda d: d[:4], "day": lambda d: d}[period]
    groups = [list(g) for _, g in itertools.groupby(days, key=lambda b: key(b["datetime"]))]
    assert len(longer) == min(800, len(groups))
    groups = groups[-len(longer):]
    for bar, g in zip(longer, groups):
        assert bar["datetime"] == g[-1]["datetime"]
        assert (bar["open"], bar["close"]) == (g[0]["open"], g[-1]["close"])
        assert (bar["high"], bar["low"]) == (max(b["high"] for b in g), min(b["low"] for b in g))


def test_bar_pages_count_back_from_the_most_recent(sim_client, sim_market):
    pages = [sim_client.get_security_bars(8, 1, "600000", start, 800) for start in (1600, 800, 0)]
    expected = sim_market.bars((1, "600000"), 8, 0, 2400)
    assert [b["close"] for p in pages for b in p] == [b.close / 100 for b in expected]
    assert len(sim_client.get_security_bars(8, 1, "600000", 0, 5000)) == 800  # page limit
    assert len(sim_client.get_security_bars(9, 1, "600000", 990, 800)) == 10  # history ends
    assert sim_client.get_security_bars(12, 1, "600000", 0, 10) == []  # no such category


def test_past_days(sim_client, sim_market):
    date = sim_market.days[-20]
    minutes = sim_client.get_history_minute_time_data(1, "601318", date)
    bars = [b for b in sim_client.get_security_bars(8, 1, "601318", 19 * 240, 240)]
    assert bars[0]["datetime"].startswith(f"{date // 10000}-{date // 100 % 100:02}-{date % 100:02}")
    assert [m["price"] for m in minutes] == [b["close"] for b in bars]
    ticks = sim_client.get_history_transaction_data(1, "601318", 0, 2000, date)
    assert len(ticks) == 960 and "num" not in ticks[0]
    assert sum(t["vol"] for t in ticks) == sum(m["vol"] for m in minutes)
    assert ticks[-1]["price"] == minutes[-1]["price"]
    weekend = 20250614  # a Saturday
    assert sim_client.get_history_minute_time_data(1, "601318", weekend) == []
    assert sim_client.get_history_transaction_data(1, "601318", 0, 10, weekend) == []


def test_index_bars_carry_breadth(sim_client):
    bars = sim_client.get_index_bars(9, 0, "399001", 0, 50)
    assert len(bars) == 50
    for b in bars:
        assert b["up_count"] + b["down_count"] == 2400 - 120
        sign = (b["close"] > b["open"]) - (b["close"] < b["open"])
        assert (b["up_count"] > b["down_count"]) - (b["up_count"] < b["down_count"]) == sign


def test_page_limits(sim_client):
    assert len(sim_client.get_security_quotes([(1, "600036")] * 100)) == 80
    assert len(sim_client.get_transaction_data(1, "600036", 0, 3000)) == 960
    date = 20250610
    assert len(sim_client.get_history_transaction_data(1, "600036", 0, 3000, date)) == 960


def test_unknown_security_gets_empty_answers(sim_client):
    c, key = sim_client, (0, "123456")
    assert c.get_security_bars(9, *key, 0, 10) == [] == c.get_minute_time_data(*key)
    assert c.get_transaction_data(*key, 0, 10) == [] == c.get_xdxr_info(*key)
    assert c.get_security_quotes([key]) == [] and c.get_finance_info(*key) == {}
    assert c.get_company_info_category(*key) == []
    assert c.get_security_count(5) == 0 and c.get_security_list(5, 0) == []


def test_corporate_data_agrees(sim_client, sim_market):
    key = (1, "600036")
    events = sim_client.get_xdxr_info(*key)
    fin = sim_client.get_finance_info(*key)
    capital = [e for e in events if e["category"] == 5]
    assert capital[0]["panqianliutong"] == 0.0 and events[0] == capital[0]
    assert [e["name"] for e in events if e["category"] == 1] == ["除权除息"] * 3
    assert sum(e["songzhuangu"] > 0 for e in events if e["category"] == 1) == 1
    assert fin["liutongguben"] == capital[-1]["panhouliutong"] * 10000
    assert fin["zongguben"] == capital[-1]["houzongguben"] * 10000
    assert fin["meigujingzichan"] == pytest.approx(fin["jingzichan"] / fin["zongguben"], rel=1e-6)
    assert fin["market"] == 1 and fin["code"] == "600036" and fin["updated_date"] == 20250331
    assert sim_client.get_xdxr_info(1, "000001") == []  # an index
    assert sim_client.get_finance_info(1, "000001") == {}

    sections = sim_client.get_company_info_category(*key)
    assert [s["name"] for s in sections] == ["最新提示", "公司概况", "财务分析", "股本结构", "分红扩股"]
    texts = [sim_client.get_company_info_content(*key, s["filename"], s["start"], s["length"])
             for s in sections]
    assert all(s["start"] == p["start"] + p["length"] for p, s in zip(sections, sections[1:]))
    assert "招商银行" in texts[0] and f"{int(fin['zongguben'] / 10000)}万股" in texts[3]
    assert [len(t.encode("gbk")) for t in texts] == [s["length"] for s in sections]


@pytest.mark.parametrize("name", ["block_zs.dat", "block_gn.dat", "block_fg.dat", "tdxhy.cfg"])
def test_server_files_assemble_from_chunks(sim_client, name):
    meta = sim_client.get_block_info_meta(name)
    data = b""
    while len(data) < meta["size"]:
        chunk = sim_client.get_block_info(name, len(data), meta["size"])
        assert 0 < len(chunk) <= 30000
        data += chunk
    assert hashlib.md5(data).hexdigest() == meta["hash_value"]
    report = b""
    while True:
        n, chunk = sim_client.get_report_file(name, len(report))
        assert n == len(chunk)
        if not chunk:
            break
        report += chunk
    assert report == data
    lines = data.decode("gbk").splitlines()
    assert lines and all(line.count(",") or line.count("|") for line in lines)
    if name == "block_gn.dat":
        assert meta["size"] > 30000
        assert "白酒,sh600519,sz000858," in data.decode("gbk")
    assert sim_client.get_block_info_meta("nothing.dat") == {"size": 0, "hash_value": ""}


def test_same_seed_same_data_other_seed_other_data():
    from pelmora.testing import SimulatedMarket
    a, b, c = SimulatedMarket(seed=1, fill=10), SimulatedMarket(seed=1, fill=10), \
        SimulatedMarket(seed=2, fill=10)
    key = (0, "000858")
    assert a.day_bars(key) == b.day_bars(key) != c.day_bars(key)
    assert a.day_bars(key)[-2].close == c.day_bars(key)[-2].close == 13550  # the anchor
    assert [s.pre_close for s in a.securities(1)] == [s.pre_close for s in b.securities(1)]


# ---------------------------------------------------------------------- process handling


def test_serve_starts_and_stops_a_child(tmp_path):
    log = tmp_path / "log"
    with serve(seed=3, fill=0, log=log) as (host, port):
        c = TdxClient()
        c.connect(host, port)
        assert c.get_security_count(1) == 6
        c.disconnect()
    lines = log.read_text().split()
    assert len(lines) == 4 and lines[3] == "0c0c186c0001080008004e04010075c73301"
    with pytest.raises(ConnectionError, match="^Connect failed: "):
        TdxClient().connect(host, port)


def test_serve_on_ipv6_loopback():
    if not socket.has_ipv6:
        pytest.skip("no IPv6")
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
    except OSError:
        pytest.skip("no IPv6 loopback")
    with serve("::1", fill=0) as (host, port):
        c = TdxClient()
        c.connect(f"[{host}]", port)
        assert c.get_security_count(0) == 6


@pytest.mark.parametrize("extra, pattern", [
    ([], r"listening on 127\.0\.0\.1:(\d+)"), (["--print-port"], r"(\d+)"),
])
def test_command_line_prints_its_port(extra, pattern):
    proc = subprocess.Popen([sys.executable, "-P", "-m", "pelmora.testing", "--port", "0", "--fill",
                             "0", "--exit-on-eof", *extra],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline().strip()
        m = re.fullmatch(pattern, line)
        assert m, line
        c = TdxClient()
        c.connect("127.0.0.1", int(m.group(1)))
        assert c.get_security_count(1) == 6
    finally:
        proc.stdin.close()
        proc.stdout.close()
        assert proc.wait(timeout=5) == 0
