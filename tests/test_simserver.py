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
from pelmora.testing import (SimulatedMarket, decode_volume, encode_price, encode_volume,
                             quantize_volume, serve)

# ---------------------------------------------------------------------- encoders


def test_client_reads_what_the_encoders_write(hq, client):
    """The client's decoders are pinned to known bytes elsewhere; round trips pin the encoders."""
    rng = random.Random(11)
    ints = [0, 1, -1, 63, -63, 64, -64, 8191, 8192, -8192, 2**20 + 3, -(2**40) - 7,
            2**62 + 12345, -(2**62)] + [rng.randrange(-2**50, 2**50) for _ in range(300)]
    # Minute-time records: price step, a skipped number, volume.
    steps = b"".join(encode_price(v) + encode_price(-v) + encode_price(v) for v in ints)
    hq.reply(struct.pack("<H2x", len(ints)) + steps, compress=True)
    got = client.get_minute_time_data(1, "600036")
    assert [r["vol"] for r in got] == ints
    assert [r["price"] for r in got] == [v / 100.0 for v in itertools.accumulate(ints)]
    words = [0, 0x3F000000, 0x43000000, 0x46800000, 0x46303910, 0x46903910, 0x4A1C8000,
             0x40200000, 0x42800000, 0x41800000] + [rng.getrandbits(32) for _ in range(1000)]
    hq.reply(struct.pack("<H", len(words)) + b"".join(
        b"600036" + struct.pack("<H8s4xBI4x", 100, b"name", 2, w) for w in words), compress=True)
    assert [r["pre_close"] for r in client.get_security_list(1, 0)] == \
        [decode_volume(w) for w in words]


@pytest.mark.parametrize("value, exact", [
    *[(v, True) for v in (128.0, 11278.265625, 2564096.0, 2.0**24, 12345679.0 * 8, 3050.5,
                          27.5, 7.25, 1.5, 0.5, 64.0, 2.0**200, 100.0)],
    *[(v, False) for v in (10.52, 0.75, 4.0, 1.0, 33.33, 123456789.0, 1e30, 0.0, -3.5)],
])
def test_encode_volume_gives_the_nearest_word(value, exact):
    word = encode_volume(value)
    got = decode_volume(struct.unpack("<I", word)[0])
    assert quantize_volume(value) == got and (got == value) == exact
    assert value > 0 or word == bytes(4)  # zero and below: the all-zero word
    rng = random.Random(int(value * 1000))
    near = struct.unpack("<I", struct.pack("<f", value))[0] if 0 < value < 2**127 else 1
    for w in [near - 1, near, near + 1] + [rng.getrandbits(32) for _ in range(3000)]:
        assert abs(got - value) <= abs(decode_volume(w) - value)
    assert value < 128 or abs(got - value) <= value * 2.0**-24


# ---------------------------------------------------------------------- framing


def test_raw_framing(sim):
    with socket.create_connection((sim.host, sim.port), timeout=5) as s, s.makefile("rb") as f:
        def exchange(cmd, params=b""):
            n = 2 + len(params)
            s.sendall(b"\x0c\x01\x02\x03\x04\x05" + struct.pack("<HHH", n, n, cmd) + params)
            z, u = struct.unpack("<12xHH", f.read(16))
            wire = f.read(z)
            return z, u, (wire if z == u else zlib.decompress(wire))
        setup = [exchange(0x000D, b"\x01"), exchange(0x000D, b"\x02"), exchange(0x0FDB, bytes(30))]
        assert all(z == u > 0 for z, u, _ in setup)
        assert exchange(0x7777, b"abc") == (0, 0, b"")      # unknown command
        assert exchange(0x052D, b"\x01\x00") == (0, 0, b"")  # cut-short request
        assert exchange(0x044E, b"\x01\x00\x75\xc7\x33\x01") == (2, 2, struct.pack("<H", 1106))
        z, u, body = exchange(0x0450, struct.pack("<HH", 0, 0))
        assert z < u == len(body) == 2 + 29 * 1000  # large bodies travel compressed


# ---------------------------------------------------------------------- agreement
# The security list is compared with SimulatedMarket by the list test of test_cli.py.


@pytest.mark.parametrize("key", [(1, "600036"), (0, "300750"), (1, "000001"), (0, "399001"),
                                 (1, "600003")])
def test_quote_agrees_with_bars_minutes_and_ticks(sim_client, sim_market, key):
    c, sec = sim_client, sim_market.security(*key)
    bars = c.get_index_bars if sec.is_index else c.get_security_bars
    quote, = c.get_security_quotes([key])
    minutes = c.get_minute_time_data(*key)
    yesterday, today = bars(9, *key, 0, 2)
    ticks = c.get_transaction_data(*key, 800, 800) + c.get_transaction_data(*key, 0, 800)
    one_min = bars(8, *key, 0, 240)
    assert len(minutes) == 240 and len(ticks) == 960 and len(one_min) == 240
    assert quote["price"] == minutes[-1]["price"] == today["close"] == ticks[-1]["price"]
    assert quote["last_close"] == yesterday["close"] == sim_market.pre_close(key) / 100
    assert (quote["open"], quote["high"], quote["low"]) == \
        (today["open"], today["high"], today["low"])
    assert quote["vol"] == sum(m["vol"] for m in minutes) == sum(t["vol"] for t in ticks)
    assert quote["s_vol"] + quote["b_vol"] == quote["vol"] and quote["cur_vol"] == ticks[-1]["vol"]
    assert today["vol"] == quantize_volume(quote["vol"]) and quote["amount"] == today["amount"]
    assert [b["close"] for b in one_min] == [m["price"] for m in minutes]
    assert (one_min[0]["open"], max(b["high"] for b in one_min), min(b["low"] for b in one_min)) \
        == (today["open"], today["high"], today["low"])
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


@pytest.mark.parametrize("category, key", [
    (0, lambda i, d: i // 5), (1, lambda i, d: i // 15), (2, lambda i, d: i // 30),
    (3, lambda i, d: i // 60), (4, lambda i, d: d), (6, lambda i, d: d[:7]),
    (5, lambda i, d: datetime.date.fromisoformat(d[:10]).isocalendar()[:2]),
    (10, lambda i, d: (d[:4], (int(d[5:7]) - 1) // 3)), (11, lambda i, d: d[:4]),
])
def test_longer_bars_group_shorter_ones(sim_client, category, key):
    """Intraday bars group today's one-minute bars, longer ones the last 1600 day bars."""
    base, pages = (8, [(0, 240)]) if category < 4 else (9, [(800, 800), (0, 800)])
    short = [b for p in pages for b in sim_client.get_security_bars(base, 0, "300750", *p)]
    groups = [[b for _, b in g] for _, g in
              itertools.groupby(enumerate(short), lambda p: key(p[0], p[1]["datetime"]))]
    if base == 9:
        groups = groups[1:]  # the oldest may have begun before the first day bar fetched
    longer = sim_client.get_security_bars(category, 0, "300750", 0, min(800, len(groups)))
    assert len(longer) == min(800, len(groups))
    for bar, g in zip(longer, groups[-len(longer):]):
        assert bar["datetime"] == g[-1]["datetime"]
        assert (bar["open"], bar["close"]) == (g[0]["open"], g[-1]["close"])
        assert (bar["high"], bar["low"]) == (max(b["high"] for b in g), min(b["low"] for b in g))
        assert base == 9 or bar["vol"] == sum(b["vol"] for b in g)  # below 2**24: exact


def test_past_days(sim_client, sim_market):
    c, date = sim_client, sim_market.days[-20]
    minutes = c.get_history_minute_time_data(1, "601318", date)
    bars = c.get_security_bars(8, 1, "601318", 19 * 240, 240)
    assert [m["price"] for m in minutes] == [b["close"] for b in bars]
    ticks = c.get_history_transaction_data(1, "601318", 0, 2000, date)
    assert len(ticks) == 960 and "num" not in ticks[0] and ticks[-1]["price"] == bars[-1]["close"]
    assert sum(t["vol"] for t in ticks) == sum(m["vol"] for m in minutes)
    assert c.get_history_minute_time_data(1, "601318", 20250614) == [] == \
        c.get_history_transaction_data(1, "601318", 0, 10, 20250614)  # a Saturday


def test_index_bars_carry_breadth(sim_client):
    for b in sim_client.get_index_bars(9, 0, "399001", 0, 50):
        assert b["up_count"] + b["down_count"] == 2400 - 120
        sign = (b["close"] > b["open"]) - (b["close"] < b["open"])
        assert (b["up_count"] > b["down_count"]) - (b["up_count"] < b["down_count"]) == sign


def test_page_limits_and_empty_answers(sim_client):
    c, key = sim_client, (0, "123456")
    assert len(c.get_security_bars(8, 1, "600000", 0, 5000)) == 800
    assert len(c.get_security_quotes([(1, "600036")] * 100)) == 80
    assert c.get_security_bars(12, 1, "600000", 0, 10) == []  # no such category
    assert c.get_security_bars(9, *key, 0, 10) == [] == c.get_minute_time_data(*key)
    assert c.get_transaction_data(*key, 0, 10) == [] == c.get_xdxr_info(*key)
    assert c.get_security_quotes([key]) == [] and c.get_finance_info(*key) == {}
    assert c.get_company_info_category(*key) == []
    assert c.get_security_count(5) == 0 and c.get_security_list(5, 0) == []  # no such market
    assert c.get_security_list(0, 1106) == []  # past the end


def test_corporate_data_agrees(sim_client):
    c, key = sim_client, (1, "600036")
    events, fin = c.get_xdxr_info(*key), c.get_finance_info(*key)
    capital = [e for e in events if e["category"] == 5]
    assert fin["liutongguben"] == capital[-1]["panhouliutong"] * 10000
    assert fin["zongguben"] == capital[-1]["houzongguben"] * 10000
    assert fin["meigujingzichan"] == pytest.approx(fin["jingzichan"] / fin["zongguben"], rel=1e-6)
    assert (fin["market"], fin["code"], fin["updated_date"]) == (1, "600036", 20250331)
    assert c.get_xdxr_info(1, "000001") == [] and c.get_finance_info(1, "000001") == {}  # index
    sections = c.get_company_info_category(*key)
    assert [s["name"] for s in sections] == ["最新提示", "公司概况", "财务分析", "股本结构", "分红扩股"]
    texts = [c.get_company_info_content(*key, s["filename"], s["start"], s["length"])
             for s in sections]
    assert all(s["start"] == p["start"] + p["length"] for p, s in zip(sections, sections[1:]))
    assert "招商银行" in texts[0] and f"{int(fin['zongguben'] / 10000)}万股" in texts[3]
    assert [len(t.encode("gbk")) for t in texts] == [s["length"] for s in sections]


@pytest.mark.parametrize("name", ["block_zs.dat", "block_gn.dat", "block_fg.dat", "tdxhy.cfg"])
def test_server_files_assemble_from_chunks(sim_client, name):
    meta, data, report = sim_client.get_block_info_meta(name), b"", b""
    while len(data) < meta["size"]:
        chunk = sim_client.get_block_info(name, len(data), meta["size"])
        assert 0 < len(chunk) <= 30000
        data += chunk
    assert hashlib.md5(data).hexdigest() == meta["hash_value"]
    while (part := sim_client.get_report_file(name, len(report)))[1]:
        assert part[0] == len(part[1])
        report += part[1]
    assert report == data
    assert data and all("," in line or "|" in line for line in data.decode("gbk").splitlines())
    if name == "block_gn.dat":
        assert meta["size"] > 30000 and "白酒,sh600519,sz000858," in data.decode("gbk")
    assert sim_client.get_block_info_meta("nothing.dat") == {"size": 0, "hash_value": ""}


# ---------------------------------------------------------------------- process handling


def test_serve_starts_and_stops_a_child(tmp_path):
    with serve(seed=3, fill=0, log=tmp_path / "log") as (host, port):
        c = TdxClient()
        c.connect(host, port)
        assert c.get_security_count(1) == 6
        c.disconnect()
    lines = (tmp_path / "log").read_text().split()
    assert len(lines) == 4 and lines[3] == "0c0c186c0001080008004e04010075c73301"
    with pytest.raises(ConnectionError, match="^Connect failed: "):
        TdxClient().connect(host, port)


@pytest.mark.parametrize("host", ["127.0.0.1", "::1"])
def test_command_line_prints_its_address(host):
    family, literal = (socket.AF_INET6, f"[{host}]") if ":" in host else (socket.AF_INET, host)
    try:
        socket.create_server((host, 0), family=family).close()
    except OSError:
        pytest.skip(f"no loopback {host}")
    with subprocess.Popen([sys.executable, "-P", "-m", "pelmora.testing", "--host", host, "--port",
                           "0", "--fill", "0", "--exit-on-eof"], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True) as proc:  # closing stdin stops it
        m = re.fullmatch(rf"listening on {re.escape(literal)}:(\d+)\n", proc.stdout.readline())
        c = TdxClient()
        c.connect(literal, int(m[1]))
        assert c.get_security_count(1) == 6
        proc.stdin.close()
        assert proc.wait(timeout=5) == 0
