"""Encoders of HQ body fields and small reference decoders of the market-data bodies.

The reference decoders follow the documented stopping rules one by one, in plain Python with
unbounded integers folded to 64 bits, so that the client's results can be compared with them
value for value on arbitrary (random, cut) bodies.
"""
import math
import struct

M64 = (1 << 64) - 1


def s64(v):
    v &= M64
    return v - (1 << 64) if v >> 63 else v


def varint(v):
    """Encode v (its two's complement magnitude sign form) as a variable-length integer."""
    neg = v < 0
    m = (-v if neg else v) & M64
    out = [(m & 0x3F) | (0x40 if neg else 0)]
    m >>= 6
    while m:
        out[-1] |= 0x80
        out.append(m & 0x7F)
        m >>= 7
    return bytes(out)


class Body:
    """A cursor over a body with the field readers of the protocol."""

    def __init__(self, data, pos=0):
        self.b, self.n, self.pos = bytes(data), len(data), pos

    def left(self, k):
        return self.pos + k <= self.n

    def price(self):
        b, n = self.b, self.n
        if self.pos >= n:
            return 0
        c = b[self.pos]
        m, neg, shift = c & 0x3F, c & 0x40, 6
        while c & 0x80:
            if self.pos == n - 1:
                self.pos = n + 1
                return s64(-m if neg else m)
            self.pos += 1
            c = b[self.pos]
            m = (m + ((c & 0x7F) << (shift % 64))) & M64
            shift += 7
        self.pos += 1
        return s64(-m if neg else m)

    def u16(self):
        v = struct.unpack_from("<H", self.b, self.pos)[0]
        self.pos += 2
        return v

    def u32(self):
        v = struct.unpack_from("<I", self.b, self.pos)[0]
        self.pos += 4
        return v


def volume(word):
    b0, b1, b2, b3 = word & 0xFF, (word >> 8) & 0xFF, (word >> 16) & 0xFF, word >> 24
    e = 2 * b3
    x = math.ldexp(1.0, e - 127)
    if b2 > 128:
        y = math.ldexp(128.0, e - 134) + math.ldexp(float(b2 - 128), e - 133)
    elif b3 >= 67:
        y = math.ldexp(float(b2), e - 134)
    else:
        y = math.ldexp(float(b2), 134 - e)
    z, w = math.ldexp(float(b1), e - 142), math.ldexp(float(b0), e - 150)
    if b2 & 0x80:
        z, w = 2 * z, 2 * w
    return ((x + y) + z) + w


def bar_datetime(category, raw):
    """The datetime text of the 4 date bytes `raw` of a bar of this category."""
    if category <= 8 and (0x18F >> category) & 1:
        z, t = struct.unpack("<HH", raw)
        md = z & 0x7FF
        return f"{(z >> 11) + 2004}-{md // 100:02}-{md % 100:02} {t // 60:02}:{t % 60:02}"
    d = struct.unpack("<I", raw)[0]
    return f"{d // 10000}-{d % 10000 // 100:02}-{d % 100:02} 15:00"


def ref_bars(data, category, index):
    r = Body(data)
    if r.n < 2:
        return []
    count, r.pos, base, out = r.u16(), 2, 0, []
    for _ in range(count):
        if not r.left(4):
            break
        when = bar_datetime(category, r.b[r.pos:r.pos + 4])
        r.pos += 4
        d_open, d_close, d_high, d_low = r.price(), r.price(), r.price(), r.price()
        if not r.left(12 if index else 8):
            break
        op = s64(base + d_open)
        bar = {"datetime": when, "open": op / 1000.0, "high": s64(op + d_high) / 1000.0,
               "low": s64(op + d_low) / 1000.0, "close": s64(op + d_close) / 1000.0,
               "vol": volume(r.u32()), "amount": volume(r.u32())}
        if index:
            bar["up_count"], bar["down_count"] = r.u16(), r.u16()
        base = s64(op + d_close)
        out.append(bar)
    return out


def ref_minute(data, history):
    header = 6 if history else 4
    r = Body(data, header)
    if r.n < 2:
        return []
    count = struct.unpack_from("<H", r.b)[0]
    if count == 0 or r.n <= header:
        return []
    acc, out = 0, []
    while True:
        d = r.price()
        r.price()
        vol = r.price()
        acc = s64(acc + d)
        out.append({"price": acc / 100.0, "vol": vol})
        if len(out) == count or r.pos >= r.n:
            return out


def ref_transactions(data, history):
    r = Body(data, 6 if history else 2)
    if r.n < 2:
        return []
    count, acc, out = struct.unpack_from("<H", r.b)[0], 0, []
    for _ in range(count):
        if not r.left(2):
            break
        t = r.u16()
        d, vol = r.price(), r.price()
        num = None if history else r.price()
        bos = r.price()
        r.price()
        acc = s64(acc + d)
        rec = {"time": f"{t // 60:02}:{t % 60:02}", "price": acc / 100.0, "vol": vol}
        if not history:
            rec["num"] = num
        rec["buyorsell"] = bos
        out.append(rec)
    return out


def quote_code(raw):
    try:
        return raw.decode("utf-8").rstrip("\0")
    except UnicodeDecodeError:
        return ""


def ref_quotes(data):
    r = Body(data, 4)
    if r.n < 4:
        return []
    count, out = struct.unpack_from("<H", r.b, 2)[0], []
    for _ in range(count):
        if not r.left(9):
            break
        q = {"market": r.b[r.pos], "code": quote_code(r.b[r.pos + 1:r.pos + 7])}
        r.pos += 9
        price = r.price()
        q["price"] = price / 100.0
        for key in ("last_close", "open", "high", "low"):
            q[key] = s64(price + r.price()) / 100.0
        q["servertime"] = r.price()
        r.price()
        q["vol"], q["cur_vol"] = r.price(), r.price()
        if not r.left(4):
            break
        q["amount"] = volume(r.u32())
        q["s_vol"], q["b_vol"] = r.price(), r.price()
        r.price(), r.price()
        for level in range(1, 6):
            q[f"bid{level}"] = s64(price + r.price()) / 100.0
            q[f"ask{level}"] = s64(price + r.price()) / 100.0
            q[f"bid_vol{level}"], q[f"ask_vol{level}"] = r.price(), r.price()
        if r.pos >= r.n:
            break
        if r.left(2):
            r.pos += 2
        for _ in range(4):
            r.price()
        if r.left(4):
            r.pos += 4
        out.append(q)
    return out
