"""Byte-level encoders of the HQ protocol, server side.

The client decodes three compact number forms; these are their inverses:

* `encode_price` writes the variable-length signed integer: the first byte carries 6 value bits
  and the sign (0x40), each following byte 7 bits, least significant group first, and 0x80 in a
  byte says that another follows.
* `encode_volume` writes the packed 32-bit word that the client reads as a float-like value
  (`decode_volume` is its exact Python counterpart, used to check an encoding and to learn what
  a client will see).
* `minute_date` / `day_date` pack the two 4-byte bar date forms.

`frame` builds a whole response (16-byte header and body, zlib-compressed when that pays) and
`read_request` takes one request off a socket.
"""
import functools
import math
import socket
import struct
import zlib
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = [
    "encode_price", "encode_volume", "decode_volume", "quantize_volume", "minute_date",
    "day_date", "exact_word", "volume_word", "header", "frame", "read_request", "COMPRESS_ABOVE",
]

Array = npt.NDArray[Any]

# Bodies longer than this go out zlib-compressed, as real servers send their larger answers.
COMPRESS_ABOVE = 512


def encode_price(value: int) -> bytes:
    """Bytes of the variable-length signed integer `value` (|value| < 2**64)."""
    negative = value < 0
    m = -value if negative else value
    first = (m & 0x3F) | (0x40 if negative else 0)
    m >>= 6
    if not m:
        return bytes((first,))
    out = bytearray((first | 0x80,))
    while True:
        group = m & 0x7F
        m >>= 7
        if not m:
            out.append(group)
            return bytes(out)
        out.append(group | 0x80)


def decode_volume(word: int) -> float:
    """The double a client reads from the packed 32-bit word `word`.

    The exponent is 2 * byte3 plus bit 7 of byte2, the mantissa the low 23 bits, as in a float
    without sign bit; but below 2**7 a word whose byte2 lies in 1..128 takes a reciprocal power
    for byte2 and reads as something else entirely. The sums are done in the client's order.
    """
    b0, b1, b2, b3 = word & 0xFF, (word >> 8) & 0xFF, (word >> 16) & 0xFF, word >> 24
    e = 2 * b3
    x = math.ldexp(1.0, e - 127)
    if b2 > 128:
        y = math.ldexp(128.0, e - 134) + math.ldexp(float(b2 - 128), e - 133)
    elif b3 >= 67:
        y = math.ldexp(float(b2), e - 134)
    else:
        y = math.ldexp(float(b2), 134 - e)
    z = math.ldexp(float(b1), e - 142)
    w = math.ldexp(float(b0), e - 150)
    if b2 >= 128:
        z, w = z * 2, w * 2
    return ((x + y) + z) + w


def _regular_word(value: float) -> int | None:
    """The float-like word nearest to `value`, or None outside the 9-bit exponent range."""
    f, e = math.frexp(value)  # value = f * 2**e, 0.5 <= f < 1
    field = e - 1 + 127
    mantissa = round((2 * f - 1) * (1 << 23))
    if mantissa == 1 << 23:
        field, mantissa = field + 1, 0
    if not 0 <= field <= 511:
        return None
    return (field << 23) | mantissa


def _reciprocal_table() -> "tuple[Array, Array, Array]":
    """Words (low 16 bits zero), decoded values and low-bit steps of the reciprocal branch
    (byte3 <= 66, byte2 in 1..128), the only words whose values do not grow with the word."""
    b3, b2 = np.meshgrid(np.arange(67), np.arange(1, 129), indexing="ij")
    e = 2 * b3
    base = np.ldexp(1.0, e - 127) + np.ldexp(b2.astype(np.float64), 134 - e)
    step = np.ldexp(np.where(b2 >= 128, 2.0, 1.0), e - 150)
    return ((b3 << 24) | (b2 << 16)).ravel(), base.ravel(), step.ravel()


_RECIPROCAL = _reciprocal_table()
# The reciprocal words in the order of their lowest and of their highest values: the nearest of
# them to a value lie next to it in one order or the other.
_LOWEST = np.argsort(_RECIPROCAL[1], kind="stable")
_HIGHEST = np.argsort(_RECIPROCAL[1] + 0xFFFF * _RECIPROCAL[2], kind="stable")
_NEIGHBOURS = 3


@functools.lru_cache(maxsize=65536)
def _search_word(value: float) -> int:
    """The word whose decoded value lies nearest to `value` (the smallest such word on a tie).

    Outside the reciprocal branch a word's value grows with the word, so the nearest of those
    lies at the rounding of `value` or at an edge of a neighbouring exponent's usable range;
    the reciprocal branch is searched as a table, its low 16 bits scaling linearly."""
    candidates = {0}
    f, e = math.frexp(value)
    field = e - 1 + 127
    mantissa = round((2 * f - 1) * (1 << 23))
    for g in (field - 1, field, field + 1):
        if 0 <= g <= 511:
            for m in (0, 0xFFFF, 0x10000, 0x7FFFFF, min(0x7FFFFF, mantissa),
                      min(0xFFFF, mantissa), max(0x10000, min(0x7FFFFF, mantissa))):
                candidates.add((g << 23) | m)
    words, base, step = _RECIPROCAL
    low = np.clip(np.rint((value - base) / step), 0, 0xFFFF)
    near = np.argsort(np.abs(base + low * step - value))[:6]
    for i in near:
        for m in (low[i] - 1, low[i], low[i] + 1):
            if 0 <= m <= 0xFFFF:
                candidates.add(int(words[i]) | int(m))
    return min(candidates, key=lambda w: (abs(decode_volume(w) - value), w))


def decode_words(words: "Array") -> "Array":
    """`decode_volume` of a column of words, with the same operations in the same order."""
    w = np.asarray(words, dtype=np.int64)
    b0, b1, b2, b3 = w & 0xFF, (w >> 8) & 0xFF, (w >> 16) & 0xFF, w >> 24
    e = 2 * b3
    x = np.ldexp(1.0, e - 127)
    y = np.where(b2 > 128, np.ldexp(128.0, e - 134) + np.ldexp((b2 - 128).astype(float), e - 133),
                 np.where(b3 >= 67, np.ldexp(b2.astype(float), e - 134),
                          np.ldexp(b2.astype(float), 134 - e)))
    twice = np.where(b2 >= 128, 2.0, 1.0)
    z = np.ldexp(b1.astype(float), e - 142) * twice
    low = np.ldexp(b0.astype(float), e - 150) * twice
    out: Array = ((x + y) + z) + low
    return out


def search_words(values: "Array") -> "Array":
    """`_search_word` of a column of positive values at once: the same candidates (all the
    reciprocal words near each value rather than the six nearest), the nearest chosen alike."""
    v = np.asarray(values, dtype=np.float64)[:, None]
    f, e = np.frexp(v)
    field = e - 1 + 127
    mantissa = np.rint((2 * f - 1) * (1 << 23)).astype(np.int64)
    tails = np.concatenate([np.broadcast_to(np.array([0, 0xFFFF, 0x10000, 0x7FFFFF]), (len(v), 4)),
                            np.minimum(0x7FFFFF, mantissa), np.minimum(0xFFFF, mantissa),
                            np.maximum(0x10000, np.minimum(0x7FFFFF, mantissa))], axis=1)
    fields = (field + np.array([-1, 0, 1]))[:, :, None]
    regular = np.where((fields >= 0) & (fields <= 511), (fields << 23) | tails[:, None, :], 0)
    words, base, step = _RECIPROCAL
    span = np.arange(-_NEIGHBOURS, _NEIGHBOURS)
    near = []
    for order, edge in ((_LOWEST, base[_LOWEST]), (_HIGHEST, (base + 0xFFFF * step)[_HIGHEST])):
        at = np.searchsorted(edge, v) + span
        near.append(order[np.clip(at, 0, len(order) - 1)])
    entry = np.concatenate(near, axis=1)
    low = np.clip(np.rint((v - base[entry]) / step[entry]), 0, 0xFFFF).astype(np.int64)
    tail = (low[:, :, None] + np.array([-1, 0, 1])).reshape(len(v), -1)
    reciprocal = np.where((tail >= 0) & (tail <= 0xFFFF),
                          np.repeat(words[entry], 3, axis=1) | tail, 0)
    candidates = np.concatenate([np.zeros((len(v), 1), np.int64),
                                 regular.reshape(len(v), -1), reciprocal], axis=1)
    distance = np.abs(decode_words(candidates) - v)
    best = distance == distance.min(axis=1, keepdims=True)
    found: Array = np.where(best, candidates, np.iinfo(np.int64).max).min(axis=1)
    return found


def encode_volume(value: float) -> bytes:
    """The packed 32-bit word for `value`, as 4 little-endian bytes.

    Non-negative values in the float-like range are written with the 9-bit exponent and 23-bit
    mantissa, so every value of 128 and above (up to 2**384) comes back as its nearest 24-bit
    mantissa value, exactly when it has one. Where that word falls in the decoder's reciprocal
    branch (small values whose byte2 would be 1..128), all words are searched for the one that
    reads back nearest. Zero and negative values give the all-zero word (read as 2**-127).
    """
    return struct.pack("<I", volume_word(value))


def volume_word(value: float) -> int:
    """The packed word of `encode_volume` as an int."""
    value = float(value)
    if not value > 0.0 or math.isnan(value):
        return 0
    word = _regular_word(value)
    if word is not None and _is_regular(word):
        return word
    return _search_word(value)


def exact_word(value: float) -> int | None:
    """The float-like word that reads back as exactly `value`, or None (a quick test that
    skips the search of `encode_volume`)."""
    word = _regular_word(float(value)) if value > 0 else None
    if word is None or not _is_regular(word) or decode_volume(word) != value:
        return None
    return word


def _is_regular(word: int) -> bool:
    b2, b3 = (word >> 16) & 0xFF, word >> 24
    return b3 >= 67 or b2 > 128 or b2 == 0


def quantize_volume(value: float) -> float:
    """What a client reads back for `value` sent with `encode_volume`."""
    return decode_volume(volume_word(value))


def minute_date(year: int, month: int, day: int, hour: int, minute: int) -> bytes:
    """4-byte bar date of the minute categories: packed date word, then minutes of the day."""
    return struct.pack("<HH", ((year - 2004) << 11) | (month * 100 + day), hour * 60 + minute)


def day_date(yyyymmdd: int) -> bytes:
    """4-byte bar date of the day categories: the decimal number YYYYMMDD."""
    return struct.pack("<I", yyyymmdd)


_HEADER_MAGIC = b"\xb1\xcb\x74\x00"


def header(z: int, u: int, ident: bytes = b"\x00\x00\x00\x00", command: int = 0) -> bytes:
    """16-byte response header: a constant lead, 0x0C, the request's four identification bytes
    and command code echoed (clients do not look at them), then the wire and plain body sizes."""
    return _HEADER_MAGIC + b"\x0c" + bytes(ident) + b"\x00" + struct.pack("<HHH", command, z, u)


def frame(body: bytes, ident: bytes = b"\x00\x00\x00\x00", command: int = 0,
          compress: bool | None = None) -> bytes:
    """Header and wire bytes of the answer carrying `body`; compressed when larger than
    COMPRESS_ABOVE (or as `compress` says) and when compression makes it smaller."""
    body = bytes(body)
    if len(body) > 0xFFFF:
        raise ValueError(f"body of {len(body)} bytes does not fit a response")
    wire = body
    if compress or (compress is None and len(body) > COMPRESS_ABOVE):
        packed = zlib.compress(body, 1)  # fast: the client inflates any level alike
        if len(packed) < len(body):
            wire = packed
    return header(len(wire), len(body), ident, command) + wire


def _recv_exact(sock: socket.socket, n: int) -> bytes | None:
    buf = bytearray()
    while len(buf) < n:
        part = sock.recv(n - len(buf))
        if not part:
            return None
        buf += part
    return bytes(buf)


def read_request(sock: socket.socket) -> bytes | None:
    """One whole request from `sock` (10-byte prefix, then L more bytes, L at offset 6), or
    None when the peer closed the connection."""
    head = _recv_exact(sock, 10)
    if head is None:
        return None
    rest = _recv_exact(sock, struct.unpack_from("<H", head, 6)[0])
    return None if rest is None else head + rest


# ---------------------------------------------------------------------- whole columns at once

def price_columns(values: "Array") -> "tuple[Array, Array]":
    """The bytes of `encode_price` for a column of int64 values: a (n, w) byte matrix and a
    (n, w) mask of the bytes that belong to each value, w the longest value's length."""
    v = np.asarray(values, dtype=np.int64)
    m = np.abs(v).astype(np.uint64)
    top = int(m.max()) if len(m) else 0
    width = 1
    while top >> (6 + 7 * (width - 1)):
        width += 1
    out = np.empty((len(v), width), dtype=np.uint8)
    more = np.empty((len(v), width), dtype=bool)
    rest = m >> np.uint64(6)
    out[:, 0] = (m & np.uint64(0x3F)).astype(np.uint8) | ((v < 0).astype(np.uint8) << 6)
    more[:, 0] = rest != 0
    for k in range(1, width):
        out[:, k] = (rest & np.uint64(0x7F)).astype(np.uint8)
        rest = rest >> np.uint64(7)
        more[:, k] = rest != 0
    out |= (more.astype(np.uint8) << 7).astype(np.uint8)
    used = np.ones_like(more)
    used[:, 1:] = more[:, :-1]
    return out, used


def volume_columns(values: "Array") -> "Array":
    """`encode_volume` of a column of values, as a (n, 4) byte matrix."""
    x = np.asarray(values, dtype=np.float64)
    f, e = np.frexp(np.where(x > 0, x, 1.0))
    field = (e - 1 + 127).astype(np.int64)
    mantissa = np.rint((2 * f - 1) * (1 << 23)).astype(np.int64)
    carry = mantissa == (1 << 23)
    field, mantissa = field + carry, np.where(carry, 0, mantissa)
    words = ((field << 23) | mantissa).astype(np.int64)
    b2, b3 = (words >> 16) & 0xFF, words >> 24
    regular = (field >= 0) & (field <= 511) & ((b3 >= 67) | (b2 > 128) | (b2 == 0))
    words = np.where(x > 0, words, 0)
    search = np.flatnonzero(~regular & (x > 0))
    if search.size:  # small values: the search
        words[search] = search_words(x[search])
    return words.astype("<u4").view(np.uint8).reshape(-1, 4)


# Whole cents below this many are the values small enough to need the search.
_SEARCHED_CENTS = 12800


@functools.lru_cache(maxsize=1)
def _cent_words() -> "Array":
    return volume_columns(np.arange(_SEARCHED_CENTS) / 100)


def yuan_columns(cents: "Array") -> "Array":
    """`volume_columns` of amounts in whole cents, as yuan: the small ones from a table worked
    out once (`prepare_yuan` works it out ahead)."""
    c = np.asarray(cents, dtype=np.int64)
    small = (c >= 0) & (c < _SEARCHED_CENTS)
    out: Array = _cent_words()[np.where(small, c, 0)]
    large = np.flatnonzero(~small)
    if large.size:
        out[large] = volume_columns(c[large] / 100)
    return out


def prepare_yuan() -> None:
    _cent_words()


def fixed_columns(values: "Array", dtype: str) -> "Array":
    """A column of fixed-width little-endian numbers as a byte matrix."""
    column = np.ascontiguousarray(np.asarray(values).astype(dtype))
    return column.view(np.uint8).reshape(len(column), -1)


def records(*parts: "Array | tuple[Array, Array]") -> bytes:
    """Rows of byte matrices (each fixed, or a (bytes, mask) pair of variable width) joined
    side by side, every row's used bytes in order."""
    mats, masks = [], []
    for part in parts:
        if isinstance(part, tuple):
            mats.append(part[0])
            masks.append(part[1])
        else:
            mats.append(part)
            masks.append(np.ones(part.shape, dtype=bool))
    used: bytes = np.concatenate(mats, axis=1)[np.concatenate(masks, axis=1)].tobytes()
    return used
