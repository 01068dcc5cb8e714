"""What the simulated server's body faults do to a whole answer (16-byte header and wire body):
each result is well framed (its sizes and compression agree with its body), so that a client
sees the fault only in what the body says.
"""
import random
import struct
import zlib
from typing import Callable

from .wire import frame, header

__all__ = ["plain_body", "reframe", "cut", "pad", "zeros", "empty_list", "garbage_list",
           "other_answer"]

LIST_COUNT, LIST_PAGE_COMMAND = 0x044E, 0x0450
LIST_RECORD = 29  # bytes of one security of a list page

# A zlib stream that inflates to the largest plain body a header can announce, all zeros.
_ZEROS = zlib.compress(bytes(0xFFFF), 9)


def _ident(answer: bytes) -> bytes:
    return answer[5:9]


def _command(answer: bytes) -> int:
    return int(struct.unpack_from("<H", answer, 10)[0])


def plain_body(answer: bytes) -> bytes:
    """The plain body of a whole answer built by `frame`."""
    z, u = struct.unpack_from("<HH", answer, 12)
    wire = answer[16:16 + z]
    return zlib.decompress(wire) if z != u else wire


def reframe(answer: bytes, body: bytes) -> bytes:
    """`answer` carrying `body` instead, its identification and command kept."""
    return frame(body[:0xFFFF], _ident(answer), _command(answer))


def cut(answer: bytes) -> bytes:
    """The first half of the plain body (of an empty body, nothing changes)."""
    body = plain_body(answer)
    return reframe(answer, body[:len(body) // 2])


def pad(answer: bytes, rng: random.Random) -> bytes:
    """The plain body followed by random bytes, half as many as it holds (at least 16)."""
    body = plain_body(answer)
    return reframe(answer, body + rng.randbytes(max(16, len(body) // 2)))


def zeros(answer: bytes) -> bytes:
    """A compressed body of 65,535 zero bytes: a count of nothing, followed by more zeros."""
    return header(len(_ZEROS), 0xFFFF, _ident(answer), _command(answer)) + _ZEROS


def empty_list(answer: bytes) -> bytes:
    """A security count of 0, or a list page holding no security."""
    return reframe(answer, b"\x00\x00")


def garbage_list(answer: bytes, rng: random.Random) -> bytes:
    """A random security count, or a list page of as many random records as it held."""
    if _command(answer) == LIST_COUNT:
        return reframe(answer, rng.randbytes(2))
    n = struct.unpack_from("<H", plain_body(answer))[0]
    return reframe(answer, struct.pack("<H", n) + rng.randbytes(n * LIST_RECORD))


def _request(ident: bytes, command: int, params: bytes) -> bytes:
    size = 2 + len(params)
    return b"\x0c" + ident + b"\x01" + struct.pack("<HHH", size, size, command) + params


# Requests the server answers with data whatever the market's size: bars of 600000, the ex-rights
# records of 000001 (Shenzhen), the finance summary of 600036, the count of Shanghai's list and
# today's minute series of 600000.
_OTHER_REQUESTS = {
    0x052D: struct.pack("<H6sHHHH", 1, b"600000", 9, 1, 0, 20) + bytes(6),
    0x000F: struct.pack("<HB6s", 1, 0, b"000001"),
    0x0010: struct.pack("<HB6s", 1, 1, b"600036"),
    0x044E: struct.pack("<H4x", 1),
    0x051D: struct.pack("<H6sxx", 1, b"600000"),
}


def other_answer(answer: bytes, respond: Callable[[bytes], bytes], rng: random.Random) -> bytes:
    """The answer to a request of another command (chosen by `rng`), framed as the server frames
    it: its header echoes that other command and the identification of the request asked."""
    command = _command(answer)
    choices = sorted(c for c in _OTHER_REQUESTS if c != command)
    other = rng.choice(choices)
    return respond(_request(_ident(answer), other, _OTHER_REQUESTS[other]))
