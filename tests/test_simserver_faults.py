"""The simulated server's well-framed wrong answers, seen byte by byte on a raw socket."""
import select
import socket
import struct
import zlib

import pytest

from pelmora.testing import serve

SMALL = {"seed": 3, "fill": 5}
BARS = 0x052D
BARS_OF = {code: struct.pack("<H6sHHHH", 1, code, 9, 1, 0, 5) + bytes(10)
           for code in (b"600036", b"600000", b"600519")}


class Raw:
    """One connection after the set-up exchange; answers as (command echoed, plain body)."""

    def __init__(self, address):
        self.sock = socket.create_connection(address, timeout=5)
        self.buffer = bytearray()
        for cmd, params in ((0x000D, b"\x01"), (0x000D, b"\x02"), (0x0FDB, bytes(30))):
            self.ask(cmd, params)
            self.answer()

    def ask(self, cmd, params):
        n = 2 + len(params)
        self.sock.sendall(b"\x0c\x01\x02\x03\x04\x05" + struct.pack("<HHH", n, n, cmd) + params)

    def read(self, n):
        while len(self.buffer) < n:
            part = self.sock.recv(65536)
            assert part, "the server hung up"
            self.buffer += part
        out = bytes(self.buffer[:n])
        del self.buffer[:n]
        return out

    def answer(self):
        command, z, u = struct.unpack("<10xHHH", self.read(16))
        wire = self.read(z)
        return command, (wire if z == u else zlib.decompress(wire))

    def waiting(self, seconds):
        """Whether bytes came that no answer read has taken yet, within `seconds`."""
        return bool(self.buffer) or bool(select.select([self.sock], [], [], seconds)[0])

    def close(self):
        self.sock.close()


@pytest.fixture(scope="module")
def clean_bars():
    with serve(**SMALL) as address:
        raw = Raw(address)
        out = {}
        for code, params in BARS_OF.items():
            raw.ask(BARS, params)
            out[code] = raw.answer()
        raw.close()
    return out


def ask_bars(fault, codes):
    """The answers to the bars of each code in turn, asked on one connection."""
    with serve(**SMALL, **fault) as address:
        raw = Raw(address)
        got = []
        for code in codes:
            raw.ask(BARS, BARS_OF[code])
            got.append(raw.answer())
        raw.close()
    return got


def test_repeats_before_and_after_the_next_request(clean_bars):
    with serve(**SMALL, repeat_before=2, repeat_after=3) as address:
        raw = Raw(address)
        raw.ask(BARS, BARS_OF[b"600036"])
        assert raw.answer() == clean_bars[b"600036"]
        assert not raw.waiting(0.05)
        raw.ask(BARS, BARS_OF[b"600000"])
        assert raw.answer() == raw.answer() == clean_bars[b"600000"]  # the copy came at once
        raw.ask(BARS, BARS_OF[b"600519"])
        assert raw.answer() == clean_bars[b"600519"]
        assert not raw.waiting(0.1)  # the 3rd answer's copy waits for the next request
        raw.ask(BARS, BARS_OF[b"600036"])
        assert raw.answer() == clean_bars[b"600519"]  # the copy, then the answer asked for
        assert raw.answer() == clean_bars[b"600036"]
        raw.close()


@pytest.mark.parametrize("fault, check", [
    ({"cut_body": 2}, lambda cmd, body, clean: cmd == BARS and body == clean[:len(clean) // 2]),
    ({"pad_body": 2}, lambda cmd, body, clean: cmd == BARS and body[:len(clean)] == clean and
     len(body) >= len(clean) + 16),
    ({"zero_body": 2}, lambda cmd, body, clean: cmd == BARS and body == bytes(0xFFFF)),
    ({"wrong_command": 2}, lambda cmd, body, clean: cmd != BARS and body != clean),
])
def test_every_second_answer_changed_and_framed_again(clean_bars, fault, check):
    first, (command, body) = ask_bars(fault, [b"600036", b"600000"])
    assert first == clean_bars[b"600036"]
    assert check(command, body, clean_bars[b"600000"][1])


@pytest.mark.parametrize("fault", ["empty_list", "garbage_list"])
def test_security_lists_empty_or_garbage(fault):
    with serve(**SMALL, **{fault: True}) as address:
        raw = Raw(address)
        raw.ask(0x044E, b"\x00\x00\x75\xc7\x33\x01")
        count = struct.unpack("<H", raw.answer()[1])[0]
        raw.ask(0x0450, struct.pack("<HH", 0, 0))
        command, page = raw.answer()
        raw.close()
    n = struct.unpack_from("<H", page)[0]
    assert command == 0x0450 and len(page) == 2 + 29 * n
    if fault == "empty_list":
        assert count == n == 0
    else:  # as many records as the page holds, none of them a code
        assert n > 0 and not any(page[2 + 29 * i:8 + 29 * i].isdigit() for i in range(n))
