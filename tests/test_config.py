"""Server configuration: precedence of the three sources, the servers file, TDX connect.cfg."""
import socket

import pytest

from pelmora import config
from pelmora.exceptions import DataWarning


@pytest.fixture
def home(tmp_path, monkeypatch):
    """An empty user config folder and no PELMORA_SERVERS."""
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "xdg"))
    monkeypatch.delenv("PELMORA_SERVERS", raising=False)
    return tmp_path / "xdg" / "pelmora"


@pytest.mark.parametrize("explicit, env, saved, expected", [
    (["127.0.0.1:7709"], "127.0.0.2:1", [("f", "127.0.0.3", 2)], [("127.0.0.1", 7709)]),
    ([("::1", 7709), "[::1]:7710", ("[::1]", 7711)], None, [],
     [("[::1]", 7709), ("[::1]", 7710), ("[::1]", 7711)]),
    ("127.0.0.1:1, 127.0.0.1:2", None, [], [("127.0.0.1", 1), ("127.0.0.1", 2)]),
    (None, " 127.0.0.2:1,127.0.0.2:2\n[::1]:3  127.0.0.2:1", [("f", "127.0.0.3", 2)],
     [("127.0.0.2", 1), ("127.0.0.2", 2), ("[::1]", 3)]),
    (None, "   ", [("f", "127.0.0.3", 2), ("", "::1", 4)], [("127.0.0.3", 2), ("[::1]", 4)]),
])
def test_resolve_precedence(home, monkeypatch, explicit, env, saved, expected):
    if env is not None:
        monkeypatch.setenv("PELMORA_SERVERS", env)
    if saved:
        config.save_servers(saved)
    assert config.resolve_servers(explicit) == expected


def test_nothing_configured_names_the_three_ways(home):
    with pytest.raises(LookupError) as err:
        config.resolve_servers()
    text = str(err.value)
    assert "HQ(servers=" in text and "PELMORA_SERVERS=" in text
    assert str(home / "servers.txt") in text


@pytest.mark.parametrize("explicit, env, message", [
    (None, "127.0.0.1:7709,nope", r"^PELMORA_SERVERS: invalid server address 'nope'"),
    (None, "127.0.0.1:70000", r"^PELMORA_SERVERS: invalid server address"),
    (["127.0.0.1"], None, r"^invalid server address '127.0.0.1'"),
])
def test_malformed_addresses(home, monkeypatch, explicit, env, message):
    if env is not None:
        monkeypatch.setenv("PELMORA_SERVERS", env)
    with pytest.raises(ValueError, match=message):
        config.resolve_servers(explicit)


def test_host_names_resolved_in_python(home, monkeypatch):
    def lookup(host, port, type=0):
        if host == "good.example":
            return [(socket.AF_INET6, socket.SOCK_STREAM, 6, "", ("::1", 0, 0, 0))]
        raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")

    monkeypatch.setattr(socket, "getaddrinfo", lookup)
    with pytest.warns(DataWarning, match="bad.example"):
        assert config.resolve_servers(["good.example:7709", "bad.example:1"]) == [("[::1]", 7709)]
    monkeypatch.setenv("PELMORA_SERVERS", "bad.example:1")
    with pytest.raises(LookupError, match="^no server of PELMORA_SERVERS could be resolved"):
        config.resolve_servers()


def test_servers_file_round_trip(home):
    path = config.save_servers([("深圳双线主站", "127.0.0.1", 7709), ("", "::1", 80),
                                ("a #  b\nc", "127.0.0.2", 1)])
    assert path == home / "servers.txt" == config.config_path()
    assert config.load_servers() == [("深圳双线主站", "127.0.0.1", 7709), ("", "::1", 80),
                                      ("a # b c", "127.0.0.2", 1)]
    config.save_servers([("x", "127.0.0.9", 9)])
    assert config.load_servers() == [("x", "127.0.0.9", 9)]
    assert sorted(p.name for p in home.iterdir()) == ["servers.txt"]


def test_servers_file_errors(home, tmp_path):
    assert config.load_servers() == []
    bad = tmp_path / "servers.txt"
    bad.write_text("# ok\n127.0.0.1:1\n\n127.0.0.1  # no port\n", encoding="utf-8")
    with pytest.raises(ValueError, match=rf"^{bad}:4: invalid server address"):
        config.load_servers(bad)
    with pytest.raises(ValueError, match="invalid server address"):
        config.save_servers([("x", "127.0.0.1", 70000)])


CONNECT_CFG = """\
[PROXY]
HostNum=1
IPAddress01=10.0.0.1
Port01=1
[HQHOST]
HostNum=3
; primary first
HostName01=深圳双线主站
IPAddress01=127.0.0.1
Port01=7709
hostname02=上海电信主站
ipaddress02 = ::1
port02 = 7711
IPAddress03=127.0.0.3
Port03=80
HostName04=不计
IPAddress04=127.0.0.4
Port04=1
PrimaryHost=0
[DSHOST]
HostNum=9
"""


def write_cfg(tmp_path, data):
    path = tmp_path / "connect.cfg"
    path.write_bytes(data)
    return path


GBK_CFG = CONNECT_CFG.replace("\n", "\r\n").encode("gbk")


def test_connect_cfg(home, tmp_path):
    path = write_cfg(tmp_path, GBK_CFG)
    expected = [("深圳双线主站", "127.0.0.1", 7709), ("上海电信主站", "::1", 7711),
                ("", "127.0.0.3", 80)]
    assert config.read_connect_cfg(path) == expected
    assert config.import_connect_cfg(path) == expected
    assert config.load_servers() == expected


@pytest.mark.parametrize("old, new, message", [
    (b"[HQHOST]", b"[OTHER]", r": no \[HQHOST\] section$"),
    (b"HostNum=3", b"Count=3", r": \[HQHOST\] has no HostNum$"),
    (b"HostNum=3", b"HostNum=x", r":6: HostNum 'x' is not a count$"),
    (b"HostNum=3", b"HostNum=5", r":6: HostNum=5 but IPAddress05 and Port05 are missing$"),
    (b"Port03=80\r\n", b"", r":6: HostNum=3 but Port03 is missing$"),
    (b"port02 = 7711", b"port02 = 77111", r":13: Port02 '77111' is not a port$"),
    (b"Port01=7709", b"Port01=0", r":10: Port01 '0' is not a port$"),
    (b"IPAddress03=127.0.0.3", b"IPAddress03=", r":14: IPAddress03 '' is not an address$"),
    (b"Port01=7709", b"Port01", r":10: expected KEY=VALUE, got 'Port01'$"),
    (b"HostName01=", b"HostName01=\xff\xff", r":8: not GBK text$"),
])
def test_malformed_connect_cfg(tmp_path, old, new, message):
    path = write_cfg(tmp_path, GBK_CFG.replace(old, new))
    with pytest.raises(ValueError, match=f"^{path}{message}"):
        config.read_connect_cfg(path)
