"""Pure-Python decoders of K-line bar and quote bodies: the baseline a user would write without
pelmora. They give the same dicts as the client, value for value, and are written for speed as
plain Python goes (locals, no per-field function calls in the bar loop, struct for fixed fields).
"""
import math
import struct

_U16 = struct.Struct("<H")
_U32 = struct.Struct("<I")
_MINUTE_CATEGORIES = {0, 1, 2, 3, 7, 8}
_ldexp = math.ldexp


def read_volume(word):
    b0, b1, b2, b3 = word & 0xFF, (word >> 8) & 0xFF, (word >> 16) & 0xFF, word >> 24
    e = 2 * b3
    x = _ldexp(1.0, e - 127)
    if b2 > 128:
        y = _ldexp(1.0, e - 134) * 128 + _ldexp(1.0, e - 133) * (b2 - 128)
    elif b3 >= 67:
        y = _ldexp(1.0, e - 134) * b2
    else:
        y = _ldexp(1.0, 134 - e) * b2
    z = _ldexp(1.0, e - 142) * b1
    w = _ldexp(1.0, e - 150) * b0
    if b2 & 0x80:
        z *= 2
        w *= 2
    return ((x + y) + z) + w


def read_price(body, pos, n):
    """(value, new position) of one variable-length signed integer."""
    if pos >= n:
        return 0, pos
    b = body[pos]
    m = b & 0x3F
    neg = b & 0x40
    shift = 6
    while b & 0x80:
        if pos == n - 1:
            pos = n + 1
            break
        pos += 1
        b = body[pos]
        m = (m + ((b & 0x7F) << (shift & 63))) & 0xFFFFFFFFFFFFFFFF
        shift += 7
    else:
        pos += 1
    if neg:
        m = (-m) & 0xFFFFFFFFFFFFFFFF
    return (m - (1 << 64) if m >> 63 else m), pos


def _wrap(v):
    v &= 0xFFFFFFFFFFFFFFFF
    return v - (1 << 64) if v >> 63 else v


def decode_bars(body, category, index):
    n = len(body)
    if n < 2:
        return []
    count = _U16.unpack_from(body, 0)[0]
    tail = 12 if index else 8
    minute_form = category in _MINUTE_CATEGORIES
    pos, base, out = 2, 0, []
    for _ in range(count):
        if pos + 4 > n:
            break
        if minute_form:
            z, t = struct.unpack_from("<HH", body, pos)
            md = z & 0x7FF
            when = "%d-%02d-%02d %02d:%02d" % ((z >> 11) + 2004, md // 100, md % 100, t // 60, t % 60)
        else:
            d = _U32.unpack_from(body, pos)[0]
            when = "%d-%02d-%02d 15:00" % (d // 10000, d % 10000 // 100, d % 100)
        pos += 4
        d_open, pos = read_price(body, pos, n)
        d_close, pos = read_price(body, pos, n)
        d_high, pos = read_price(body, pos, n)
        d_low, pos = read_price(body, pos, n)
        if pos + tail > n:
            break
        vol_word, amount_word = struct.unpack_from("<II", body, pos)
        open_ = _wrap(base + d_open)
        close = _wrap(open_ + d_close)
        bar = {
            "datetime": when,
            "open": open_ / 1000.0,
            "high": _wrap(open_ + d_high) / 1000.0,
            "low": _wrap(open_ + d_low) / 1000.0,
            "close": close / 1000.0,
            "vol": read_volume(vol_word),
            "amount": read_volume(amount_word),
        }
        if index:
            bar["up_count"], bar["down_count"] = struct.unpack_from("<HH", body, pos + 8)
        pos += tail
        base = close
        out.append(bar)
    return out


def _skip(body, pos, n):
    if pos >= n:
        return pos
    while body[pos] & 0x80:
        if pos == n - 1:
            return n + 1
        pos += 1
    return pos + 1


def _code(raw):
    try:
        return raw.decode("utf-8").rstrip("\0")
    except UnicodeDecodeError:
        return ""


def decode_quotes(body):
    n = len(body)
    if n < 4:
        return []
    count = _U16.unpack_from(body, 2)[0]
    pos, out = 4, []
    for _ in range(count):
        if pos + 9 > n:
            break
        q = {"market": body[pos], "code": _code(body[pos + 1:pos + 7])}
        pos += 9
        price, pos = read_price(body, pos, n)
        q["price"] = price / 100.0
        for key in ("last_close", "open", "high", "low"):
            d, pos = read_price(body, pos, n)
            q[key] = _wrap(price + d) / 100.0
        q["servertime"], pos = read_price(body, pos, n)
        pos = _skip(body, pos, n)
        q["vol"], pos = read_price(body, pos, n)
        q["cur_vol"], pos = read_price(body, pos, n)
        if pos + 4 > n:
            break
        q["amount"] = read_volume(_U32.unpack_from(body, pos)[0])
        pos += 4
        q["s_vol"], pos = read_price(body, pos, n)
        q["b_vol"], pos = read_price(body, pos, n)
        pos = _skip(body, _skip(body, pos, n), n)
        for level in "12345":
            d, pos = read_price(body, pos, n)
            q["bid" + level] = _wrap(price + d) / 100.0
            d, pos = read_price(body, pos, n)
            q["ask" + level] = _wrap(price + d) / 100.0
            q["bid_vol" + level], pos = read_price(body, pos, n)
            q["ask_vol" + level], pos = read_price(body, pos, n)
        if pos >= n:
            break
        if pos + 2 <= n:
            pos += 2
        for _ in range(4):
            pos = _skip(body, pos, n)
        if pos + 4 <= n:
            pos += 4
        out.append(q)
    return out
