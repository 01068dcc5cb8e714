"""The pelmora command-line tool, run in-process through pelmora.cli.main against the simulated
server (a child process), plus real `python -m pelmora` runs."""
import argparse
import csv
import io
import json
import os
import re
import socket
import subprocess
import sys

import pandas as pd
import pytest

from fakehq import FakeHQ
from pelmora import HQ, __version__, build_info, config
from pelmora.adjust import METHODS, adjust
from pelmora.events import xdxr_frame
from pelmora.cli import build_parser, main
from pelmora.cli.options import ADJUST_METHODS
from pelmora.cli import output
from pelmora.cli.output import display_width
from pelmora.files import read_day_frame
from pelmora.store import Store
from pelmora.testing.vipdoc import day_file_bytes


@pytest.fixture(autouse=True)
def home(tmp_path, monkeypatch):
    """No configured server unless a test saves one."""
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "xdg"))
    monkeypatch.delenv("PELMORA_SERVERS", raising=False)
    return tmp_path / "xdg" / "pelmora" / "servers.txt"


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    return (status, *capsys.readouterr())


def frame_of(out, fmt):
    """The rows a command printed, read back by pandas."""
    if fmt == "--json":
        return pd.DataFrame([json.loads(line) for line in out.splitlines()])
    return pd.read_csv(io.StringIO(out), dtype={"code": str})


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


S = ["-s", "127.0.0.1:1"]


@pytest.mark.parametrize("argv, message", [
    (["bars", "60003", *S], "argument CODE: invalid security '60003'"),
    (["bars", "bj430047", *S], "which the HQ servers do not serve"),
    (["bars", "600036", "-s", "1.2.3.4"], "invalid server address '1.2.3.4'"),
    (["bars", "600036", "-s", "1.2.3.4:70000"], "invalid server address '1.2.3.4:70000'"),
    (["bars", "600036", "-p", "2h"], "invalid period '2h': expected one of 1m, 5m, 15m"),
    (["bars", "600036", "-p", "1M"], "ambiguous period '1M': minutes in pelmora, months in"),
    (["sync", "x", "--period", "D,W"], "invalid period 'D,W': expected a comma-separated list"),
    (["bars", "600036", "-n", "0"], "invalid count '0': expected a whole number from 1"),
    (["bars", "600036", "-n", "65601"], "from 1 to 65,600 (the deepest the servers' pages reach)"),
    (["bars", "600036", "-c", "257"], "invalid connections '257': expected a whole number from 1 "
                                      "to 256 (the most a pool opens)"),
    (["bars", "600036", "-n", "5", "--start", "2024-01-02"], "not allowed with argument"),
    (["bars", "600036", "--end", "2024-13-01"], "invalid date '2024-13-01'"),
    (["bars", "600036", "-c", "0"], "invalid connections '0'"),
    (["list", "--market", "hk"], "invalid market 'hk': expected sh or sz"),
    (["day", "x.day", "--adjust", "up"], "argument --adjust: invalid choice: 'up'"),
    (["day", "x.day", "--csv", "--json"], "argument --json: not allowed with argument --csv"),
    ([], "the following arguments are required: COMMAND"),
])
def test_usage_errors_exit_2(capsys, argv, message):
    status, out, err = run(capsys, *argv)
    assert status == 2 and out == ""
    assert err.startswith("usage: pelmora") and message in err.splitlines()[-1]


@pytest.mark.parametrize("codes, period, fmt, adjusted", [
    (["600036"], "day", "--csv", {}), (["sh000001"], "60m", "--json", {}),
    (["600036", "sz000001", "sh000001"], "5m", "--csv", {}),
    (["600036", "sz000001"], "5min", "--json", {}),
    (["600036"], "day", "--json", {"adjust": "qfq"}),
    (["600036", "sz000001"], "day", "--csv", {"adjust": "hfq-ratio", "as_of": "2024-01-02"}),
])
def test_bars_are_hqs_frames(capsys, sim, codes, period, fmt, adjusted):
    options = [f"--{k.replace('_', '-')}={v}" for k, v in adjusted.items()]
    status, out, err = run(capsys, "bars", *codes, "-p", period, "-n", 900, fmt, *options,
                           "-s", sim.address)
    assert status == 0 and err == ""  # no progress bar when standard error is no terminal
    with HQ([sim.address]) as hq:
        want = (hq.bars_many(codes, period, 900, **adjusted) if len(codes) > 1
                else hq.bars(codes[0], period, 900, **adjusted))
    got = frame_of(out, fmt)
    assert list(got.columns) == [want.index.name, *want.columns]
    shown = "%Y-%m-%d" if period == "day" else "%Y-%m-%d" + ("T" if fmt == "--json" else " ") \
        + "%H:%M"
    assert got["datetime"].tolist() == want.index.strftime(shown).tolist()
    assert got["close"].tolist() == pytest.approx(want["close"].tolist(), rel=output.PRECISION)


def test_bars_start_end_and_what_failed(capsys, sim):
    argv = ["bars", "600036", "--start", "2025-06-02", "--end", "2025-06-10", "--json"]
    status, out, _ = run(capsys, *argv, "-s", sim.address)
    assert status == 0 and [r["datetime"] for r in map(json.loads, out.splitlines())] == \
        ["2025-06-02", "2025-06-03", "2025-06-04", "2025-06-05", "2025-06-06", "2025-06-09",
         "2025-06-10"]
    status, out, err = run(capsys, "bars", "600036", "sz123456", "-n", 1, "-s", sim.address)
    assert status == 0 and len(out.splitlines()) == 2
    assert err == "warning: 1 of 2 securities failed: sz123456 (KeyError: sz123456 is not in " \
                  "the security list of market sz)\n"
    status, out, err = run(capsys, "bars", "sz123456", "-s", sim.address)
    assert (status, out) == (1, "")
    assert err == "pelmora: error: sz123456 is not in the security list of market sz\n"


def test_table_aligns_wide_characters(capsys, sim):
    status, out, _ = run(capsys, "list", "-m", "sh", "-s", sim.address)
    lines = out.splitlines()
    assert status == 0 and lines[0].split() == ["symbol", "code", "name", "type", "volunit",
                                                "decimal_point"]
    # Each row names its security as other commands take it: sh000001 is the index here.
    index = next(line.split()[0] for line in lines if line.split()[1] == "000001")
    assert index == "sh000001"
    status, out, _ = run(capsys, "bars", index, "--count", "1", "--json", "-s", sim.address)
    assert "up_count" in out
    assert any(re.search(r"[\u4e00-\u9fff]", line) for line in lines)
    # Right-aligned last column: every line ends at the same terminal column.
    assert len({display_width(line) for line in lines}) == 1


@pytest.mark.parametrize("fmt", ["--csv", "--json"])
def test_list_quotes_xdxr_finance_match_the_library(capsys, sim, fmt):
    with HQ([sim.address]) as hq:
        cases = [(["list", "-m", "sz"], hq.securities("sz"), "volunit"),
                 (["quotes", "600036", "sz000001"], hq.quotes(["600036", "sz000001"]), "price"),
                 (["xdxr", "600036"], hq.xdxr("600036"), "fenhong"),
                 (["finance", "600036", "000001"],
                  pd.concat([hq.finance("600036"), hq.finance("000001")]), "zongguben")]
    for argv, want, column in cases:
        status, out, _ = run(capsys, *argv, fmt, "-s", sim.address)
        got = frame_of(out, fmt)
        assert status == 0 and list(got.columns) == [want.index.name, *want.columns], argv
        assert got.iloc[:, 0].astype(str).tolist() == [str(v)[:10] for v in want.index]
        assert got[column].tolist() == pytest.approx(want[column].tolist(), nan_ok=True)


def test_quotes_table_ticks_and_minutes(capsys, sim, sim_market):
    status, out, err = run(capsys, "quotes", "600036", "sz123456", "-s", sim.address)
    header, row = out.splitlines()
    assert status == 0 and err == "warning: no quote for 1 securities: sz123456\n"
    assert header.split() == ["symbol", "price", "change%", "open", "high", "low", "last_close",
                              "vol", "amount", "bid1", "ask1"]
    close, last = sim_market.day_bars((1, "600036"))[-1].close, sim_market.pre_close((1, "600036"))
    assert row.split()[:3] == ["sh600036", f"{close / 100:.2f}", f"{(close / last - 1) * 100:.2f}"]
    for command in ("ticks", "minutes"):
        status, out, _ = run(capsys, command, "600036", "--date", "2025-06-12", "--csv", "-s",
                             sim.address)
        with HQ([sim.address]) as hq:
            want = getattr(hq, command)("600036", "2025-06-12")
        got = frame_of(out, "--csv")
        assert status == 0 and got["vol"].tolist() == want["vol"].tolist()
        assert got["datetime"].tolist() == want.index.strftime("%Y-%m-%d %H:%M").tolist()


def cells_printed(out, fmt):
    """The rows a command printed as the texts of their cells, None where missing."""
    if fmt == "--json":
        keep = str  # numbers as their own text
        return [list(json.loads(line, parse_float=keep, parse_int=keep).values())
                for line in out.splitlines()]
    if fmt == "--csv":
        return [[c or None for c in row] for row in csv.reader(io.StringIO(out))][1:]
    return [[None if c == "-" else c for c in line.split()] for line in out.splitlines()[1:]]


@pytest.mark.parametrize("argv", [
    ["xdxr", "600036"],                                   # missing values, whole numbers
    ["bars", "600036", "-n", 400, "--adjust", "qfq"],     # float noise of the adjustment
    ["list", "-m", "sh"],                                 # 32-bit prices
])
def test_numbers_read_alike_in_every_format(capsys, sim, argv):
    printed = {fmt: cells_printed(run(capsys, *argv, *flag, "-s", sim.address)[1], fmt)
               for fmt, flag in [("table", []), ("--csv", ["--csv"]), ("--json", ["--json"])]}
    assert printed["table"] == printed["--csv"] == printed["--json"]
    numbers = [c for row in printed["table"] for c in row[1:] if c and c[:1].isdigit()]
    assert numbers and all(re.fullmatch(r"\d+(\.\d\d+)?", c) for c in numbers)
    assert not any(re.search(r"\.\d*(0000+[1-9]|9999+\d*)$", c) for c in numbers)  # no float noise


def test_days_without_trading_say_so(capsys, sim):
    for command in ("ticks", "minutes"):
        for day, why in [("2025-06-14", "a Saturday: no trading"),
                         ("2025-01-01", "no trading that day (a holiday), or none of this "
                                        "security's (suspended, or not listed then)")]:
            status, out, err = run(capsys, command, "600036", "--date", day, "--json", "-s",
                                   sim.address)
            assert (status, out) == (0, "")
            assert err == f"pelmora: no {command} for sh600036 on {day}, {why}\n"


def test_local_day_file_adjusted_by_events_of_a_server(capsys, sim, sim_market, sim_client,
                                                       tmp_path):
    path = tmp_path / "sh600036.day"
    path.write_bytes(day_file_bytes(sim_market, (1, "600036")))
    events = xdxr_frame(sim_client.get_xdxr_info(1, "600036"))
    assert ADJUST_METHODS == METHODS
    for method in (None, "qfq", "hfq-ratio"):
        extra = ["--adjust", method, "--events-from", sim.address] if method else []
        status, out, _ = run(capsys, "day", path, "--start", "2020-01-01", *extra, "--csv")
        # Adjusted as the whole file is, then cut.
        want = adjust(read_day_frame(path), events, method).loc["2020-01-01":] if method \
            else read_day_frame(path, start="2020-01-01")
        assert status == 0 and frame_of(out, "--csv")["open"].tolist() == \
            pytest.approx(want["open"].tolist(), rel=output.PRECISION)
    copy = tmp_path / "bars.day"
    copy.write_bytes(path.read_bytes())
    for argv, message in [(["--adjust", "qfq"], "--adjust needs the security in the file's name"),
                          ([], "--events-from gives the events of --adjust: give --adjust too")]:
        status, _, err = run(capsys, "day", copy, *argv, "--events-from", sim.address)
        assert status == 1 and message in err


def test_ping_check_save_and_servers_file(capsys, sim, home, tmp_path):
    dead = f"127.0.0.1:{free_port()}"
    with FakeHQ() as fake:  # answers every command with an empty body
        empty = f"127.0.0.1:{fake.port}"
        listed = tmp_path / "list.txt"
        listed.write_text(f"# a comment\n\n{dead}\n{empty}  # empty\n{sim.address}  # 主站\n")
        status, out, err = run(capsys, "ping", "--file", listed, "--check", "--save", "--json")
        assert status == 0 and err == f"pelmora: saved 1 server to {home}\n"
        assert [(r["server"], r["status"]) for r in map(json.loads, out.splitlines())][2] == \
            (dead, "unreachable")
    assert config.load_servers() == [("主站", "127.0.0.1", sim.port)]
    # Configured now: no --server needed.
    assert run(capsys, "bars", "600036", "-n", 1)[0] == 0
    status, out, _ = run(capsys, "servers")
    assert status == 0 and out.split() == ["server", "name", sim.address, "主站"]


def test_servers_import_connect_cfg(capsys, home, tmp_path, monkeypatch):
    cfg = tmp_path / "connect.cfg"
    cfg.write_bytes("[HQHOST]\r\nHostNum=2\r\nHostName01=深圳双线主站\r\n"
                    "IPAddress01=127.0.0.1\r\nPort01=7709\r\nIPAddress02=::1\r\nPort02=7711\r\n"
                    .encode("gbk"))
    status, out, err = run(capsys, "servers", "--import", cfg, "--csv")
    assert status == 0 and err == f"pelmora: saved 2 servers to {home}\n"
    assert out == "server,name\n127.0.0.1:7709,深圳双线主站\n[::1]:7711,\n"
    monkeypatch.setenv("PELMORA_SERVERS", "127.0.0.1:1")
    assert run(capsys, "servers")[2] == f"warning: PELMORA_SERVERS is set: it is used instead " \
                                        f"of {home}\n"
    cfg.write_bytes(cfg.read_bytes().replace(b"Port02=7711", b"Port02=x"))
    assert run(capsys, "servers", "--import", cfg) == \
        (1, "", f"pelmora: error: {cfg}:7: Port02 'x' is not a port\n")


def refuse_names(host, *args, **kwargs):
    raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")


def test_runtime_errors_are_one_line(capsys, tmp_path, monkeypatch, home):
    monkeypatch.setattr(socket, "getaddrinfo", refuse_names)  # no name leaves this machine
    os.mkfifo(tmp_path / "fifo")
    port = free_port()
    cases = [
        (["bars", "600036", "-s", f"127.0.0.1:{port}"],
         rf"No server serves data: 127\.0\.0\.1:{port} .*Connection refused \(os error 111\)"),
        (["quotes", "600036", "-s", "no-such-host.invalid:7709"],
         r"cannot resolve host 'no-such-host\.invalid': .*"),
        (["xdxr", "600036"], re.escape("no HQ server configured: give --server HOST:PORT, set "
                                       f"PELMORA_SERVERS='HOST:PORT,HOST:PORT', or save them to "
                                       f"{home} (pelmora servers --import connect.cfg, or "
                                       "pelmora ping HOST:PORT... --check --save)")),
        (["day", tmp_path / "missing.day"], rf".*{tmp_path}/missing\.day.*"),
        (["day", tmp_path], rf"{tmp_path}: not a regular file"),
        (["minute", tmp_path / "fifo"], rf"{tmp_path}/fifo: not a regular file"),
        (["ping", "127.0.0.1:1", "--save"], "--save keeps the servers that answer with data: "
                                            "give --check too"),
        (["ping"], r"no server to ping: give HOST:PORT arguments or --file, or configure .*"),
    ]
    for argv, pattern in cases:
        status, out, err = run(capsys, *argv)
        assert status == 1 and out == ""
        assert re.fullmatch(f"pelmora: error: {pattern}\n", err), err


def test_progress_bar_on_a_terminal(sim, monkeypatch):
    term = io.StringIO()
    term.isatty = lambda: True
    monkeypatch.setattr(sys, "stderr", term)
    assert main(["bars", "600036", "-p", "1m", "-n", "4000", "-s", sim.address, "--csv"]) == 0
    drawn = term.getvalue()
    assert re.search(r"\| \d/5 \[.* requests/s\]", drawn) and drawn.endswith(" \r")  # cleared
    term.truncate(0)
    codes = ["600036", "sz000001", "sh000001"]
    assert main(["bars", *codes, "-n", "2000", "-s", sim.address, "--csv"]) == 0
    assert re.search(r"\| \d/3 \[.* securities/s\]", term.getvalue())


def test_sync_counts_securities_and_query_prints_a_table(sim, tmp_path, monkeypatch, capsys):
    out, term = io.StringIO(), io.StringIO()
    out.isatty = term.isatty = lambda: True
    monkeypatch.setattr(sys, "stdout", out)
    monkeypatch.setattr(sys, "stderr", term)
    codes = ["600036", "sz000001", "sh600036"]  # the first and last are one security
    assert main(["sync", str(tmp_path), "--period", "day,5m", "--symbols", *codes, "-s",
                 sim.address]) == 0
    assert re.match(r"2 securities updated \(day, 5m bars\), [\d,]+ bars added, 0 replaced, "
                    r"0 removed, 0 failed; [\d,]+ requests in ", out.getvalue())
    drawn = term.getvalue()
    assert re.search(r"sync day: 100%.* 2/2 ", drawn) and re.search(r"sync 5m: .* 2/2 ", drawn)
    monkeypatch.undo()
    query = "SELECT symbol, count(*) AS n, max(close) / 1000.0 AS top, NULL AS none " \
            "FROM bars_day GROUP BY symbol ORDER BY symbol"
    with Store(tmp_path) as store:
        want = store.sql(query)
    for fmt in ("--csv", "--json"):
        status, printed, _ = run(capsys, "query", tmp_path, query, fmt)
        got = frame_of(printed, fmt)
        assert status == 0 and got["symbol"].tolist() == ["sh600036", "sz000001"]
        assert got["n"].tolist() == want["n"].tolist() and got["none"].isna().all()
        assert got["top"].tolist() == pytest.approx(want["top"].tolist())
    status, printed, _ = run(capsys, "query", tmp_path, query)
    assert status == 0 and [line.split() for line in printed.splitlines()] == \
        [["symbol", "n", "top", "none"]] + [
            [r.symbol, str(r.n), f"{r.top:.2f}", "-"] for r in want.itertuples()]


def test_every_command_and_option_is_described():
    """The parsers are the reference the docs are made from: each subcommand has a description
    with an example, each argument a help text, and a default it states is the one used."""
    parser = build_parser()
    commands = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    assert set(commands.choices) >= {"bars", "quotes", "ticks", "sync", "query", "demo"}
    for name, command in [("pelmora", parser), *commands.choices.items()]:
        if command is not parser:
            assert re.search(rf"\. Example: pelmora {name}\b", command.description or ""), name
        formatter = command._get_formatter()
        for action in command._actions:
            assert action.help and action.help != argparse.SUPPRESS, (name, action.dest)
            shown = formatter._expand_help(action)
            default = action.default
            if action.nargs == 0 or default in (None, argparse.SUPPRESS):
                continue
            if isinstance(default, str):  # argparse converts a text default by the type
                default = action.type(default) if action.type else default
            parsed = ",".join(default) if isinstance(default, list) else str(default)
            assert f"(default {parsed})" in shown, (name, action.dest, shown)


def test_python_m_pelmora_demo_and_errors():
    demo = subprocess.run([sys.executable, "-P", "-m", "pelmora", "demo"], capture_output=True,
                          text=True, timeout=120)
    assert demo.returncode == 0 and demo.stderr == ""
    for expected in ("listening on 127.0.0.1:", "$ pelmora quotes", "上证指数", "bond", "up_count",
                     "... (206 rows in all)", "$ pelmora ticks", "Stopped the simulated server."):
        assert expected in demo.stdout
    bad = subprocess.run([sys.executable, "-P", "-m", "pelmora", "bars", "12345", *S],
                         capture_output=True, text=True, timeout=60)
    assert bad.returncode == 2 and "Traceback" not in bad.stderr
    assert bad.stderr.splitlines()[-1].startswith("pelmora bars: error: argument CODE:")


def test_version_from_the_package(capsys):
    assert re.fullmatch(r"\d+\.\d+\.\d+", __version__)
    from pelmora._engine import INFLATER
    line = build_info()
    assert re.fullmatch(rf"pelmora {re.escape(__version__)} \(CPython 3\.\d+\.\d+\w*, "
                        rf"inflate: (libdeflate|zlib) [\d.]+\)", line), line
    assert INFLATER in line
    for flag in ("--version", "-V"):
        assert run(capsys, flag) == (0, line + "\n", "")


@pytest.mark.skipif(not os.environ.get("PELMORA_EXPECT_INFLATER"),
                    reason="CI names the inflater each of its builds must have")
def test_the_build_inflates_as_ci_expects():
    from pelmora._engine import INFLATER
    assert INFLATER.split()[0] == os.environ["PELMORA_EXPECT_INFLATER"]


def test_closed_pipe_is_no_failure(tmp_path, sim_market):
    day = tmp_path / "sh600036.day"  # a table far larger than a pipe's buffer
    day.write_bytes(day_file_bytes(sim_market, (1, "600036")))
    tool = subprocess.Popen([sys.executable, "-P", "-m", "pelmora", "day", day], text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert tool.stdout.readline().split()[0] == "datetime"
    tool.stdout.close()  # as `| head -1` does
    assert tool.wait(timeout=60) == 0 and tool.stderr.read() == ""
    tool.stderr.close()
