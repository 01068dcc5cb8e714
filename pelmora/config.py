"""Which HQ servers to use, configured the way users keep them.

In order of precedence: a list given explicitly (``HQ(servers=...)``); else the environment
variable ``PELMORA_SERVERS`` (``HOST:PORT`` entries separated by commas or white space); else the
servers file in the user's config folder (``$XDG_CONFIG_HOME/pelmora/servers.txt``, by default
``~/.config/pelmora/servers.txt``).

The servers file is plain text, one server a line, ``HOST:PORT  # name``, blank lines and lines
starting with ``#`` skipped. Plain text rather than TOML because it is the form users already
write everywhere else (``PELMORA_SERVERS``, ``pelmora ping --file``, which reads this very file),
it needs no quoting for the Chinese names TDX gives its servers, and a line can be cut and pasted
between them.

Host names are resolved here, in Python: the native client only takes literal addresses.
"""
from __future__ import annotations

import os
import re
import warnings
from pathlib import Path
from typing import Callable, Iterable, Optional, Union

from . import servers as _servers
from .exceptions import DataWarning
from .paths import refuse_unless_regular

ENV_VAR = "PELMORA_SERVERS"
FILE_NAME = "servers.txt"

Server = tuple[str, int]
NamedServer = tuple[str, str, int]

_parse_address: Callable[[str], Server] = _servers.parse_address
_address_text: Callable[[str, int], str] = _servers.address_text
_literal_host: Callable[[str], str] = _servers.literal_host


def config_path() -> Path:
    """The servers file in the user's config folder (XDG on Linux); it may not exist yet."""
    import platformdirs

    return Path(platformdirs.user_config_dir("pelmora", appauthor=False)) / FILE_NAME


# ---------------------------------------------------------------------------- servers file


def load_servers(path: Optional[Union[str, os.PathLike[str]]] = None) -> list[NamedServer]:
    """[(name, host, port)] of the servers file, in file order; [] when there is no file.
    ValueError naming the file and line of an entry that is not ``HOST:PORT``."""
    file = refuse_unless_regular(path if path is not None else config_path())
    try:
        text = file.read_text(encoding="utf-8")
    except FileNotFoundError:
        return []
    out = []
    for number, line in enumerate(text.splitlines(), 1):
        entry, _, comment = line.partition("#")
        if not entry.strip():
            continue
        try:
            host, port = _parse_address(entry)
        except ValueError as exc:
            raise ValueError(f"{file}:{number}: {exc}") from None
        out.append((comment.strip(), host, port))
    return out


def save_servers(servers: Iterable[NamedServer],
                 path: Optional[Union[str, os.PathLike[str]]] = None) -> Path:
    """Write [(name, host, port)] as the servers file, replacing it whole (a reader never sees
    half a file); returns its path. The folder is made when missing."""
    file = Path(path) if path is not None else config_path()
    lines = ["# HQ servers of pelmora, one a line: HOST:PORT  # name"]
    for name, host, port in servers:
        address = _address_text(host, port)
        _parse_address(address)  # refuse what could not be read back
        label = " ".join(str(name).split())
        lines.append(f"{address}  # {label}" if label else address)
    file.parent.mkdir(parents=True, exist_ok=True)
    partial = file.with_name(file.name + ".tmp")
    partial.write_text("\n".join(lines) + "\n", encoding="utf-8")
    os.replace(partial, file)
    return file


# ---------------------------------------------------------------------------- resolution


def _parse_list(text: str, source: str) -> list[Server]:
    out = []
    for item in re.split(r"[\s,]+", text.strip()):
        if item:
            try:
                out.append(_parse_address(item))
            except ValueError as exc:
                raise ValueError(f"{source}: {exc}") from None
    return out


def _literal(servers: list[Server], source: str) -> list[Server]:
    """The servers with host names resolved; unresolvable ones dropped with a DataWarning, a
    LookupError when none is left."""
    out: list[Server] = []
    failed = []
    for host, port in servers:
        try:
            server = (_literal_host(host), port)
        except LookupError as exc:
            failed.append(str(exc))
            continue
        if server not in out:
            out.append(server)
    if failed and out:
        warnings.warn(f"servers of {source} set aside: {'; '.join(failed)}", DataWarning,
                      stacklevel=3)
    if failed and not out:
        raise LookupError(f"no server of {source} could be resolved: {'; '.join(failed)}")
    return out


def resolve_servers(explicit: Optional[Union[str, Iterable[Union[str, Server]]]] = None
                    ) -> list[Server]:
    """The servers to use, as (literal host, port): IPv4 dotted, IPv6 bracketed, which is what
    ``TdxClient.connect`` takes.

    `explicit` (``"HOST:PORT"`` texts, (host, port) pairs, or one text of several) wins; else
    ``PELMORA_SERVERS``; else the servers file. LookupError saying the three ways when none is
    configured; ValueError naming the source of a malformed address.
    """
    if explicit is not None:
        if isinstance(explicit, str):
            found = _parse_list(explicit, "servers")
        else:
            found = [item if isinstance(item, tuple) else _parse_address(item)
                     for item in explicit]
            found = [_parse_address(_address_text(h.strip("[]"), p)) for h, p in found]
        source = "the servers given"
    elif os.environ.get(ENV_VAR, "").strip():
        found = _parse_list(os.environ[ENV_VAR], ENV_VAR)
        source = ENV_VAR
    else:
        file = config_path()
        found = [(host, port) for _, host, port in load_servers(file)]
        source = str(file)
    if not found:
        raise LookupError(
            f"no HQ server configured: pass them (HQ(servers=['HOST:PORT', ...])), set "
            f"{ENV_VAR}='HOST:PORT,HOST:PORT', or save them to {config_path()} "
            f"(pelmora servers --import connect.cfg, or pelmora ping --check --save)")
    return _literal(found, source)


# ---------------------------------------------------------------------------- TDX connect.cfg

_ENTRY = re.compile(r"(hostname|ipaddress|port)(\d+)")


def read_connect_cfg(path: Union[str, os.PathLike[str]]) -> list[NamedServer]:
    """[(name, host, port)] of the ``[HQHOST]`` section of a TDX installation's ``connect.cfg``
    (GBK text: ``HostNum``, then ``HostNameNN``, ``IPAddressNN``, ``PortNN`` for NN = 01 ...),
    the first ``HostNum`` entries in order. ValueError naming the file and line of a malformed
    file: no such section, a missing or bad ``HostNum``, a missing address or port, a bad port.
    """
    raw = refuse_unless_regular(path).read_bytes().splitlines()
    section: Optional[int] = None  # line number of the [HQHOST] header while inside it
    values: dict[tuple[str, int], tuple[str, int]] = {}
    host_num: Optional[tuple[str, int]] = None
    for number, line_bytes in enumerate(raw, 1):
        stripped = line_bytes.strip()
        if stripped.startswith(b"["):
            section = number if stripped.upper() == b"[HQHOST]" else None
            continue
        if section is None or not stripped or stripped[:1] in (b";", b"#"):
            continue
        try:
            line = stripped.decode("gbk")
        except UnicodeDecodeError:
            raise ValueError(f"{path}:{number}: not GBK text") from None
        key, sep, value = line.partition("=")
        if not sep:
            raise ValueError(f"{path}:{number}: expected KEY=VALUE, got {line!r}")
        key = key.strip().lower()
        if key == "hostnum":
            host_num = (value.strip(), number)
        elif m := _ENTRY.fullmatch(key):
            values[(m.group(1), int(m.group(2)))] = (value.strip(), number)
    if host_num is None:
        where = "no [HQHOST] section" if not values else "[HQHOST] has no HostNum"
        raise ValueError(f"{path}: {where}")
    text, number = host_num
    if not text.isdigit():
        raise ValueError(f"{path}:{number}: HostNum {text!r} is not a count")
    out = []
    for i in range(1, int(text) + 1):
        missing = [k for k in ("ipaddress", "port") if (k, i) not in values]
        if missing:
            names = {"ipaddress": "IPAddress", "port": "Port"}
            raise ValueError(f"{path}:{number}: HostNum={text} but "
                             f"{' and '.join(f'{names[k]}{i:02d}' for k in missing)} "
                             f"{'is' if len(missing) == 1 else 'are'} missing")
        host, _ = values[("ipaddress", i)]
        port_text, port_line = values[("port", i)]
        if not port_text.isdigit() or not 0 < int(port_text) <= 65535:
            raise ValueError(f"{path}:{port_line}: Port{i:02d} {port_text!r} is not a port")
        if not host or any(c.isspace() for c in host):
            raise ValueError(f"{path}:{values[('ipaddress', i)][1]}: IPAddress{i:02d} "
                             f"{host!r} is not an address")
        name = values.get(("hostname", i), ("", 0))[0]
        out.append((name, host.strip("[]"), int(port_text)))
    return out


def import_connect_cfg(path: Union[str, os.PathLike[str]]) -> list[NamedServer]:
    """Replace the servers file by the servers of a TDX ``connect.cfg``; returns them."""
    servers = read_connect_cfg(path)
    save_servers(servers)
    return servers
