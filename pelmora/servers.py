"""Server addresses as users write them: "HOST:PORT" or "[IPv6]:PORT", and their literal form.

Host names are resolved here, in Python; the native module only ever takes literal addresses.
"""
from __future__ import annotations

import ipaddress
import re
import socket


def parse_address(text: str) -> tuple[str, int]:
    """(host, port) of "HOST:PORT" or "[IPv6]:PORT"; the host without brackets."""
    t = text.strip()
    m = re.fullmatch(r"\[([^\]]+)\]:(\d+)", t) or re.fullmatch(r"([^:\[\]\s]+):(\d+)", t)
    if not m or int(m.group(2)) > 65535:
        raise ValueError(f"invalid server address {text!r}: expected HOST:PORT or [IPv6]:PORT")
    return m.group(1), int(m.group(2))


def address_text(host: str, port: int) -> str:
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def literal_host(host: str) -> str:
    """The host as the library takes it: a dotted IPv4 address or a bracketed IPv6 address.
    Host names are resolved here (the library itself never resolves names)."""
    try:
        ip = ipaddress.ip_address(host)
    except ValueError:
        try:
            infos = socket.getaddrinfo(host, None, type=socket.SOCK_STREAM)
        except (socket.gaierror, UnicodeError) as exc:
            raise LookupError(f"cannot resolve host {host!r}: {exc}") from None
        ip = ipaddress.ip_address(str(infos[0][4][0]).split("%")[0])
    return f"[{ip}]" if ip.version == 6 else str(ip)
