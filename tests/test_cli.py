"""The pelmora command-line tool, run in-process through pelmora.cli.main against the simulated
server (a child process), plus real `python -m pelmora` runs."""
import csv
import io
import json
import os
import re
import socket
import struct
import subprocess
import sys

import pytest

from fakehq import FakeHQ
from pelmora import __version__, records
from pelmora.cli import main
from pelmora.cli.codes import parse_code
from pelmora.servers import parse_address
from pelmora.cli.output import display_width
from pelmora.testing import quantize_volume


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    return (status, *capsys.readouterr())


def run_logged(capsys, sim, command, *argv):
    """run() against the simulated server, plus the requests of `command` it received."""
    mark = len(sim.log_path.read_text().split())
    result = run(capsys, *argv, "-s", sim.address)
    sent = map(bytes.fromhex, sim.log_path.read_text().split()[mark:])
    return (*result, [r for r in sent if struct.unpack_from("<H", r, 10)[0] == command])


def rows_of(out):
    if out.startswith("{"):
        return [json.loads(line) for line in out.splitlines()]
    return list(csv.DictReader(io.StringIO(out)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("text, expected", [
    ("600036", (1, "600036")), ("900901", (1, "900901")), ("510300", (1, "510300")),
    ("000001", (0, "000001")), ("300750", (0, "300750")), ("sh000001", (1, "000001")),
    ("SZ600036", (0, "600036")), ("127.0.0.1:7709", ("127.0.0.1", 7709)),
    ("[::1]:7709", ("::1", 7709)), ("[2001:db8::7]:80", ("2001:db8::7", 80)),
    ("hq.example:7709", ("hq.example", 7709)),
])
def test_code_market_and_address_inference(text, expected):
    assert (parse_address if ":" in text else parse_code)(text) == expected


S = ["-s", "1.2.3.4:1"]


@pytest.mark.parametrize("argv, message", [
    (["bars", "60003", *S], "argument CODE: invalid security code '60003': expected six digits, "
                            "optionally prefixed by sh or sz"),
    (["bars", "hk600036", *S], "invalid security code 'hk600036'"),
    (["bars", "600036", "-s", "1.2.3.4"], "argument --server/-s: invalid server address "
                                          "'1.2.3.4': expected HOST:PORT or [IPv6]:PORT"),
    (["bars", "600036", "-s", "::1:7709"], "invalid server address '::1:7709'"),
    (["bars", "600036", "-s", "1.2.3.4:70000"], "invalid server address '1.2.3.4:70000'"),
    (["bars", "600036", *S, "-p", "2h"], "invalid period '2h': expected one of 1m, 5m, 15m"),
    (["bars", "600036", *S, "-n", "-5"], "invalid count '-5'"),
    (["bars", "600036", *S, "-n", "65536"], "invalid count '65536': expected a whole number "
                                            "from 1 to 65535"),
    (["bars", "600036", *S, "-n", "0"], "invalid count '0'"),
    (["list", *S, "--market", "hk"], "invalid market 'hk': expected sh or sz"),
    (["day", "x.day", "--csv", "--json"], "argument --json: not allowed with argument --csv"),
    ([], "the following arguments are required: COMMAND"),
])
def test_usage_errors_exit_2(capsys, argv, message):
    status, out, err = run(capsys, *argv)
    assert status == 2 and out == ""
    assert err.startswith("usage: pelmora") and message in err.splitlines()[-1]


PERIODS = [("1m", 8), ("5m", 0), ("15m", 1), ("30m", 2), ("60m", 3), ("day", 9), ("4", 4),
           ("7", 7), ("week", 5), ("month", 6), ("quarter", 10), ("year", 11)]


@pytest.mark.parametrize("argv, category, pages", [
    *[(["sh000001", "--period", p, "-n", 3, "--json"], c, [(0, 3)]) for p, c in PERIODS],
    (["sh000001", "--no-index", "-n", 1, "--csv"], 9, [(0, 1)]),
    (["sh600000", "-p", "1m", "--count", 2000, "--csv"], 8, [(0, 800), (800, 800), (1600, 400)]),
    (["sh600000", "--count", 1200, "--csv"], 9, [(0, 800), (800, 400)]),  # 1000 days in all
    (["sh600000", "--count", 800, "--json"], 9, [(0, 800)]),
])
def test_bars_page_back_from_the_most_recent(capsys, sim, sim_market, argv, category, pages):
    status, out, err, sent = run_logged(capsys, sim, 0x052D, "bars", *argv)
    assert status == 0 and err == ""  # no progress bar when standard error is no terminal
    code = argv[0][-6:]
    assert [struct.unpack_from("<H6sHHHH", r, 12) for r in sent] == \
        [(1, code.encode(), category, 1, start, n) for start, n in pages]
    expected = sim_market.bars((1, code), category, 0, sum(n for _, n in pages))
    rows = rows_of(out)
    assert [(r["datetime"], float(r["close"])) for r in rows] == \
        [("%04d-%02d-%02d %02d:%02d" % b.when, b.close / 100) for b in expected]
    index = code == "000001" and "--no-index" not in argv  # index bars carry breadth
    assert all((list(r)[-2:] == ["up_count", "down_count"]) == index for r in rows)


def test_bars_table(capsys, sim):
    status, out, _ = run(capsys, "bars", "sh000001", "-n", 3, "-s", sim.address)
    lines = out.splitlines()
    assert status == 0 and lines[0].split() == ["datetime", "open", "high", "low", "close",
                                                "vol", "amount", "up_count", "down_count"]
    assert len(lines) == 4 and len({display_width(line) for line in lines}) == 1
    assert re.fullmatch(r"2025-06-13 15:00 +3\d{3}\.\d\d( +\S+){7}", lines[-1])


def test_bars_progress_bar_on_a_terminal(sim, monkeypatch):
    term = io.StringIO()
    term.isatty = lambda: True
    monkeypatch.setattr(sys, "stderr", term)
    assert main(["bars", "600036", "-p", "1m", "-n", "1700", "-s", sim.address, "--csv"]) == 0
    assert "\r[" in term.getvalue() and "1700/1700 bars" in term.getvalue()
    assert term.getvalue().endswith("\r\x1b[K")


def test_quotes_batches_of_80_and_missing_codes(capsys, sim, sim_market):
    codes = ["600036", "sz000001", "sh000001", "sz399006", "600519"] * 34 + ["sz123456"] * 2
    status, out, err, sent = run_logged(capsys, sim, 0x053E, "quotes", *codes, "--json")
    assert status == 0 and err == "pelmora: no quote for sz123456\n"
    assert [struct.unpack_from("<H", r, 20)[0] for r in sent] == [80, 80, 12]
    rows = rows_of(out)
    assert [(r["market"], r["code"]) for r in rows] == [parse_code(c) for c in codes[:-2]]
    assert len(rows[0]) == 33
    assert rows[0]["price"] == sim_market.day_bars((1, "600036"))[-1].close / 100
    _, out, _ = run(capsys, "quotes", "600036", "-s", sim.address)
    header, row = out.splitlines()
    assert header.split() == ["code", "price", "change%", "open", "high", "low", "last_close",
                              "vol", "amount", "bid1", "ask1"]
    assert row.split()[0] == "sh600036" and \
        row.split()[6] == f"{sim_market.pre_close((1, '600036')) / 100:.2f}"
    status, _, err = run(capsys, "quotes", "sz123456", "-s", sim.address)
    assert status == 1 and err == "pelmora: no quote for sz123456\n"


@pytest.mark.parametrize("market, number, fmt", [("sh", 1, "--csv"), ("sz", 0, "--json")])
def test_list_fetches_every_page(capsys, sim, sim_market, market, number, fmt):
    status, out, err, sent = run_logged(capsys, sim, 0x0450, "list", "--market", market, fmt)
    assert status == 0 and err == ""
    assert [struct.unpack_from("<HH", r, 12) for r in sent] == [(number, 0), (number, 1000)]
    assert [(r["code"], r["name"], int(r["volunit"]), int(r["decimal_point"]),
             float(r["pre_close"])) for r in rows_of(out)] == \
        [(s.code, s.name, 100, 2, quantize_volume(sim_market.pre_close(s.key) / 100))
         for s in sim_market.securities(number)]


def test_ping_orders_and_checks(capsys, sim, tmp_path):
    dead = f"127.0.0.1:{free_port()}"
    with FakeHQ() as fake:  # answers every command with an empty body
        empty = f"127.0.0.1:{fake.port}"
        (tmp_path / "servers").write_text(f"# a comment\n\n{dead}\n{empty}  # empty\n")
        status, out, err = run(capsys, "ping", sim.address, "--file", tmp_path / "servers",
                               "--json")
        assert status == 0 and err == ""
        rows = rows_of(out)
        assert [r["status"] for r in rows] == ["ok", "ok", "unreachable"]
        assert rows[2] == {"server": dead, "latency_ms": None, "status": "unreachable"}
        status, out, _ = run(capsys, "ping", dead, sim.address, empty, "--check", "--csv")
        assert status == 0 and {r["server"]: r["status"] for r in rows_of(out)} == \
            {sim.address: "data", empty: "empty", dead: "unreachable"}


def test_bars_of_an_unknown_code_say_so(capsys, sim):
    status, out, err = run(capsys, "bars", "sz123456", "--csv", "-s", sim.address)
    assert status == 1 and out.splitlines() == [",".join(records.BAR)]
    assert err == "pelmora: no bars for sz123456\n"


def refuse_names(host, *args, **kwargs):
    raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")


def test_runtime_errors_are_one_line(capsys, tmp_path, monkeypatch):
    monkeypatch.setattr(socket, "getaddrinfo", refuse_names)  # no name leaves this machine
    os.mkfifo(tmp_path / "fifo")
    port, servers = free_port(), tmp_path / "servers"
    servers.write_text("127.0.0.1:1\nnot an address\n")
    cases = [
        (["bars", "600036", "-s", f"127.0.0.1:{port}"],
         rf"127\.0\.0\.1:{port}: Connect failed: .*\(os error 111\)"),
        (["quotes", "600036", "-s", "no-such-host.invalid:7709"],
         r"cannot resolve host 'no-such-host\.invalid': .*"),
        (["day", tmp_path / "missing.day"], rf"File not found: {tmp_path}/missing\.day"),
        (["day", tmp_path], rf"{tmp_path}: not a regular file"),
        (["minute", tmp_path / "fifo"], rf"{tmp_path}/fifo: not a regular file"),
        (["ping", "--file", servers], re.escape(f"{servers}:2: invalid server address 'not an "
                                                "address': expected HOST:PORT or [IPv6]:PORT")),
        (["ping"], "no server to ping: give HOST:PORT arguments or --file"),
    ]
    for argv, pattern in cases:
        status, out, err = run(capsys, *argv)
        assert status == 1 and out == ""
        assert re.fullmatch(f"pelmora: error: {pattern}\n", err), err


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
    assert status == 0 and rows_of(out) == [
        {"datetime": "2024-01-05 09:31", "open": "10.5", "high": "10.75", "low": "10.25",
         "close": "10.5", "amount": "50000.0", "volume": "300.0"}]


def test_python_m_pelmora_demo_and_errors():
    demo = subprocess.run([sys.executable, "-P", "-m", "pelmora", "demo"], capture_output=True,
                          text=True, timeout=120)
    assert demo.returncode == 0 and demo.stderr == ""
    for expected in ("listening on 127.0.0.1:", "$ pelmora quotes", "招商银行", "up_count",
                     "... (206 rows in all)", "Stopped the simulated server."):
        assert expected in demo.stdout
    bad = subprocess.run([sys.executable, "-P", "-m", "pelmora", "bars", "12345", *S],
                         capture_output=True, text=True, timeout=60)
    assert bad.returncode == 2 and "Traceback" not in bad.stderr
    assert bad.stderr.splitlines()[-1].startswith("pelmora bars: error: argument CODE:")


def test_version_from_the_package(capsys):
    assert re.fullmatch(r"\d+\.\d+\.\d+", __version__)
    for flag in ("--version", "-V"):
        assert run(capsys, flag) == (0, f"pelmora {__version__}\n", "")


def test_closed_pipe_is_no_failure(tmp_path):
    day = tmp_path / "big.day"  # a table far larger than a pipe's buffer
    day.write_bytes(struct.pack("<5IfII", 20240105, 1050, 1075, 1041, 1068, 2.5e8, 123400, 0) * 20000)
    tool = subprocess.Popen([sys.executable, "-P", "-m", "pelmora", "day", day], text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert tool.stdout.readline().split()[0] == "date"
    tool.stdout.close()  # as `| head -1` does
    assert tool.wait(timeout=60) == 0 and tool.stderr.read() == ""
    tool.stderr.close()
