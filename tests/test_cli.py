"""The pelmora command-line tool, run in-process through pelmora.cli.main against the simulated
server (a child process), plus real `python -m pelmora` runs."""
import csv
import io
import json
import re
import struct
import subprocess
import sys

import pytest

from fakehq import FakeHQ
from pelmora.cli import main
from pelmora.cli.codes import parse_address, parse_code
from pelmora.cli.output import display_width


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def logged(sim, command, since):
    """Requests of one command code that the server logged after line `since`."""
    lines = sim.log_path.read_text().split()[since:]
    reqs = [bytes.fromhex(line) for line in lines]
    return [r for r in reqs if struct.unpack_from("<H", r, 10)[0] == command]


def log_mark(sim):
    return len(sim.log_path.read_text().split())


def rows_of(fmt, out):
    if fmt == "--csv":
        return list(csv.DictReader(io.StringIO(out)))
    return [json.loads(line) for line in out.splitlines()]


# ---------------------------------------------------------------------- parsing


@pytest.mark.parametrize("text, expected", [
    ("600036", (1, "600036")), ("900901", (1, "900901")), ("510300", (1, "510300")),
    ("000001", (0, "000001")), ("300750", (0, "300750")), ("399001", (0, "399001")),
    ("sh000001", (1, "000001")), ("SZ600036", (0, "600036")), ("sz000858", (0, "000858")),
])
def test_code_and_market_inference(text, expected):
    assert parse_code(text) == expected


@pytest.mark.parametrize("text, expected", [
    ("127.0.0.1:7709", ("127.0.0.1", 7709)), ("[::1]:7709", ("::1", 7709)),
    ("[2001:db8::7]:80", ("2001:db8::7", 80)), ("hq.example:7709", ("hq.example", 7709)),
])
def test_address_parsing(text, expected):
    assert parse_address(text) == expected


@pytest.mark.parametrize("argv, message", [
    (["bars", "60003", "-s", "1.2.3.4:1"], "argument CODE: invalid security code '60003': "
                                            "expected six digits, optionally prefixed by sh or sz"),
    (["bars", "hk600036", "-s", "1.2.3.4:1"], "invalid security code 'hk600036'"),
    (["bars", "600036", "-s", "1.2.3.4"], "argument --server/-s: invalid server address "
                                          "'1.2.3.4': expected HOST:PORT or [IPv6]:PORT"),
    (["bars", "600036", "-s", "::1:7709"], "invalid server address '::1:7709'"),
    (["bars", "600036", "-s", "1.2.3.4:70000"], "invalid server address"),
    (["bars", "600036", "-s", "1.2.3.4:1", "--period", "2h"], "invalid period '2h': expected "
                                                              "one of 1m, 5m, 15m"),
    (["bars", "600036", "-s", "1.2.3.4:1", "--count", "-5"], "invalid count '-5'"),
    (["bars", "600036", "-s", "1.2.3.4:1", "-n", "65536"], "invalid count '65536': expected a "
                                                           "whole number from 0 to 65535"),
    (["bars", "600036"], "the following arguments are required: --server/-s"),
    (["list", "-s", "1.2.3.4:1", "--market", "hk"], "invalid market 'hk': expected sh or sz"),
    (["quotes", "-s", "1.2.3.4:1"], "the following arguments are required: CODE"),
    (["day", "x.day", "--csv", "--json"], "argument --json: not allowed with argument --csv"),
    ([], "the following arguments are required: COMMAND"),
])
def test_usage_errors_exit_2(capsys, argv, message):
    status, out, err = run(capsys, *argv)
    assert status == 2 and out == ""
    assert err.startswith("usage: pelmora") and message in err.splitlines()[-1]


# ---------------------------------------------------------------------- bars


@pytest.mark.parametrize("period, category, stamp", [
    ("1m", 8, "15:00"), ("5m", 0, "15:00"), ("15m", 1, "15:00"), ("30m", 2, "15:00"),
    ("60m", 3, "15:00"), ("day", 9, "2025-06-13 15:00"), ("4", 4, "2025-06-13 15:00"),
    ("7", 7, "15:00"), ("week", 5, "2025-06-13"), ("month", 6, "2025-06-13"),
    ("quarter", 10, "2025-06-13"), ("year", 11, "2025-06-13"),
])
def test_bar_periods_map_to_categories(capsys, sim, period, category, stamp):
    mark = log_mark(sim)
    status, out, err = run(capsys, "bars", "600036", "--period", period, "-n", 3, "-s", sim.address,
                           "--json")
    assert status == 0 and err == ""
    rows = rows_of("--json", out)
    assert len(rows) == 3 and stamp in rows[-1]["datetime"]
    req, = logged(sim, 0x052D, mark)
    assert struct.unpack_from("<H6sHHHH", req, 12) == (1, b"600036", category, 1, 0, 3)


@pytest.mark.parametrize("argv, expected_pages, expected_rows", [
    (["sh600000", "--period", "1m", "--count", 2000], [(0, 800), (800, 800), (1600, 400)], 2000),
    (["sh600000", "--count", 1200], [(0, 800), (800, 400)], 1000),    # history is 1000 days
    (["sh600000", "--count", 800], [(0, 800)], 800),
    (["sh600000", "--count", 0], [], 0),
])
def test_bars_page_back_from_the_most_recent(capsys, sim, sim_market, argv, expected_pages,
                                             expected_rows):
    mark = log_mark(sim)
    status, out, err = run(capsys, "bars", *argv, "--server", sim.address, "--csv")
    assert status == 0 and err == ""
    pages = [struct.unpack_from("<HH", r, 24) for r in logged(sim, 0x052D, mark)]
    assert pages == expected_pages
    rows = rows_of("--csv", out)
    category = 8 if "1m" in argv else 9
    expected = sim_market.bars((1, "600000"), category, 0, expected_rows)
    assert [float(r["close"]) for r in rows] == [b.close / 100 for b in expected]
    assert [r["datetime"] for r in rows] == sorted(r["datetime"] for r in rows)


def test_bars_table_and_index_columns(capsys, sim):
    status, out, _ = run(capsys, "bars", "sh000001", "-n", 3, "-s", sim.address)
    lines = out.splitlines()
    assert status == 0 and lines[0].split() == ["datetime", "open", "high", "low", "close",
                                                "vol", "amount", "up_count", "down_count"]
    assert len(lines) == 4 and len({display_width(line) for line in lines}) == 1
    assert re.fullmatch(r"2025-06-13 15:00 +3\d{3}\.\d\d( +\S+){7}", lines[-1])
    status, out, _ = run(capsys, "bars", "sh000001", "--no-index", "-n", 1, "-s", sim.address,
                         "--json")
    assert "up_count" not in json.loads(out)  # index tails read as security bars: no breadth


def test_bars_progress_bar_only_on_a_terminal(capsys, sim, monkeypatch):
    class Terminal(io.StringIO):
        def isatty(self):
            return True
    term = Terminal()
    monkeypatch.setattr(sys, "stderr", term)
    assert main(["bars", "600036", "-p", "1m", "-n", "1700", "-s", sim.address, "--csv"]) == 0
    assert "\r[" in term.getvalue() and "1700/1700 bars" in term.getvalue()
    monkeypatch.undo()
    status, out, err = run(capsys, "bars", "600036", "-p", "1m", "-n", 1700, "-s", sim.address)
    assert status == 0 and err == ""


# ---------------------------------------------------------------------- quotes and list


def test_quotes_batches_of_80(capsys, sim, sim_market):
    codes = ["600036", "sz000001", "sh000001", "sz399006", "600519"] * 34  # 170 codes
    mark = log_mark(sim)
    status, out, err = run(capsys, "quotes", *codes, "-s", sim.address, "--json")
    assert status == 0 and err == ""
    sizes = [struct.unpack_from("<H", r, 20)[0] for r in logged(sim, 0x053E, mark)]
    assert sizes == [80, 80, 10]
    rows = rows_of("--json", out)
    assert [(r["market"], r["code"]) for r in rows] == [parse_code(c) for c in codes]
    assert len(rows[0]) == 33
    day = sim_market.day_bars((1, "600036"))[-1]
    assert rows[0]["price"] == day.close / 100 and rows[0]["last_close"] == 27.5


def test_quotes_table_and_missing_codes(capsys, sim):
    status, out, err = run(capsys, "quotes", "600036", "sz123456", "sz123456", "-s", sim.address)
    assert status == 0 and err == "pelmora: no quote for sz123456\n"
    header, row = out.splitlines()
    assert header.split() == ["code", "price", "change%", "open", "high", "low", "last_close",
                              "vol", "amount", "bid1", "ask1"]
    assert row.split()[0] == "sh600036" and row.split()[6] == "27.50"
    status, out, err = run(capsys, "quotes", "sz123456", "-s", sim.address)
    assert status == 1 and err == "pelmora: no quote for sz123456\n"


@pytest.mark.parametrize("market, number", [("sh", 1), ("sz", 0)])
@pytest.mark.parametrize("fmt", ["--csv", "--json"])
def test_list_fetches_every_page(capsys, sim, sim_market, market, number, fmt):
    mark = log_mark(sim)
    status, out, err = run(capsys, "list", "--market", market, "-s", sim.address, fmt)
    assert status == 0 and err == ""
    assert len(logged(sim, 0x044E, mark)) == 1
    assert [struct.unpack_from("<HH", r, 12) for r in logged(sim, 0x0450, mark)] == \
        [(number, 0), (number, 1000)]
    rows = rows_of(fmt, out)
    assert [(r["code"], r["name"], float(r["pre_close"])) for r in rows] == \
        [(s.code, s.name, s.pre_close / 100) for s in sim_market.securities(number)]


# ---------------------------------------------------------------------- ping


def test_ping_orders_and_checks(capsys, sim, tmp_path):
    with FakeHQ() as empty:  # accepts and answers every command with an empty body
        dead = f"127.0.0.1:{free_port()}"
        listed = tmp_path / "servers"
        listed.write_text(f"# a comment\n\n{dead}\n127.0.0.1:{empty.port}  # empty\n")
        status, out, err = run(capsys, "ping", sim.address, "--file", listed, "--json")
        assert status == 0 and err == ""
        rows = rows_of("--json", out)
        assert [r["status"] for r in rows] == ["ok", "ok", "unreachable"]
        assert rows[2] == {"server": dead, "latency_ms": None, "status": "unreachable"}
        status, out, _ = run(capsys, "ping", dead, sim.address, f"127.0.0.1:{empty.port}",
                             "--check", "--csv")
        statuses = {r["server"]: r["status"] for r in rows_of("--csv", out)}
        assert statuses == {sim.address: "data", f"127.0.0.1:{empty.port}": "empty",
                            dead: "unreachable"}


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_ping_address_file_errors(capsys, tmp_path):
    bad = tmp_path / "servers"
    bad.write_text("127.0.0.1:1\nnot an address\n")
    status, out, err = run(capsys, "ping", "--file", bad)
    assert status == 1 and out == ""
    assert err == f"pelmora: error: {bad}:2: invalid server address 'not an address': " \
                  "expected HOST:PORT or [IPv6]:PORT\n"
    status, _, err = run(capsys, "ping")
    assert status == 1 and err == "pelmora: error: no server to ping: give HOST:PORT arguments " \
                                  "or --file\n"


# ---------------------------------------------------------------------- errors and files


def test_runtime_errors_are_one_line(capsys, tmp_path):
    port = free_port()
    cases = [
        (["bars", "600036", "-s", f"127.0.0.1:{port}"],
         rf"pelmora: error: 127\.0\.0\.1:{port}: Connect failed: .*\(os error 111\)"),
        (["quotes", "600036", "-s", "no-such-host.invalid:7709"],
         r"pelmora: error: cannot resolve host 'no-such-host\.invalid': .*"),
        (["day", tmp_path / "missing.day"],
         rf"pelmora: error: File not found: {tmp_path}/missing\.day"),
        (["minute", tmp_path], r"pelmora: error: Cannot mmap file: .*\(os error \d+\)"),
    ]
    for argv, pattern in cases:
        status, out, err = run(capsys, *argv)
        assert status == 1 and out == ""
        assert re.fullmatch(pattern + "\n", err), err


def test_local_files(capsys, tmp_path):
    day = tmp_path / "sh600036.day"
    day.write_bytes(struct.pack("<5IfII", 20240105, 1050, 1075, 1041, 1068, 2.5e8, 123400, 0))
    status, out, _ = run(capsys, "day", day)
    assert status == 0 and out.splitlines()[1].split() == \
        ["2024-01-05", "10.50", "10.75", "10.41", "10.68", "250000000", "1234"]
    status, out, _ = run(capsys, "day", day, "--price-coeff", "0.001", "--json")
    assert json.loads(out)["open"] == 1050 * 0.001
    lc1 = tmp_path / "sh600036.lc1"
    lc1.write_bytes(struct.pack("<HHfffffII", 41065, 571, 10.5, 10.75, 10.25, 10.5, 5e4, 300, 0))
    status, out, _ = run(capsys, "minute", lc1, "--csv")
    assert status == 0 and rows_of("--csv", out) == [
        {"datetime": "2024-01-05 09:31", "open": "10.5", "high": "10.75", "low": "10.25",
         "close": "10.5", "amount": "50000.0", "volume": "300.0"}]


# ---------------------------------------------------------------------- real processes


def test_python_m_pelmora_demo_and_errors():
    demo = subprocess.run([sys.executable, "-P", "-m", "pelmora", "demo"], capture_output=True,
                          text=True, timeout=120)
    assert demo.returncode == 0 and demo.stderr == ""
    for expected in ("listening on 127.0.0.1:", "$ pelmora quotes", "招商银行", "up_count",
                     "... (1206 rows in all)", "Stopped the simulated server."):
        assert expected in demo.stdout
    bad = subprocess.run([sys.executable, "-P", "-m", "pelmora", "bars", "12345", "-s", "1.2.3.4:1"],
                         capture_output=True, text=True, timeout=60)
    assert bad.returncode == 2 and "Traceback" not in bad.stderr
    assert bad.stderr.splitlines()[-1].startswith("pelmora bars: error: argument CODE:")
