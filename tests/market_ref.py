"""Reference decoders of the market-data bodies that follow the stopping rules one by one in
plain Python (integers folded to 64 bits), to compare the client with value for value on any
body, random or cut. The field codecs are pelmora.testing's, checked against the client in
test_simserver; `varint` is the one the tests build bodies with."""
import struct

from pelmora import records
from pelmora.testing import decode_volume as volume, encode_price as varint

M64 = (1 << 64) - 1


def s64(v):
    v &= M64
    return v - (1 << 64) if v >> 63 else v


def count_at(data, pos):
    """The u16 count at pos, 0 when the body is too short to hold it."""
    return struct.unpack_from("<H", data, pos)[0] if len(data) >= pos + 2 else 0


class Body:
    """A cursor over a body with the field readers of the protocol."""

    def __init__(self, data, pos=0):
        self.b, self.n, self.pos = bytes(data), len(data), pos

    def left(self, k):
        return self.pos + k <= self.n

    def price(self):
        if self.pos >= self.n:
            return 0
        c = self.b[self.pos]
        m, neg, shift = c & 0x3F, c & 0x40, 6
        while c & 0x80 and self.pos < self.n - 1:
            self.pos += 1
            c = self.b[self.pos]
            m = (m + ((c & 0x7F) << (shift % 64))) & M64
            shift += 7
        self.pos += 2 if c & 0x80 else 1  # a lone continuation byte leaves the cursor at n + 1
        return s64(-m if neg else m)

    def take(self, fmt):
        v = struct.unpack_from(fmt, self.b, self.pos)[0]
        self.pos += struct.calcsize(fmt)
        return v


def bar_datetime(category, raw):
    """The datetime text of the 4 date bytes `raw` of a bar of this category."""
    if category <= 8 and (0x18F >> category) & 1:
        z, t = struct.unpack("<HH", raw)
        md = z & 0x7FF
        return f"{(z >> 11) + 2004}-{md // 100:02}-{md % 100:02} {t // 60:02}:{t % 60:02}"
    d = struct.unpack("<I", raw)[0]
    return f"{d // 10000}-{d % 10000 // 100:02}-{d % 100:02} 15:00"


def ref_bars(data, category, index):
    r, base, out = Body(data, 2), 0, []
    for _ in range(count_at(data, 0)):
        if not r.left(4):
            break
        when = bar_datetime(category, r.b[r.pos:r.pos + 4])
        r.pos += 4
        d_open, d_close, d_high, d_low = r.price(), r.price(), r.price(), r.price()
        if not r.left(12 if index else 8):
            break
        op = s64(base + d_open)
        values = [when, op / 1000.0, s64(op + d_high) / 1000.0, s64(op + d_low) / 1000.0,
                  s64(op + d_close) / 1000.0, volume(r.take("<I")), volume(r.take("<I"))]
        if index:
            values += [r.take("<H"), r.take("<H")]
        base = s64(op + d_close)
        out.append(dict(zip(records.INDEX_BAR if index else records.BAR, values)))
    return out


def ref_minute(data, history):
    header = 6 if history else 4
    r, count, acc, out = Body(data, header), count_at(data, 0), 0, []
    if count == 0 or r.n <= header:
        return []
    while True:
        d, _, vol = r.price(), r.price(), r.price()
        acc = s64(acc + d)
        out.append(dict(zip(records.MINUTE, [acc / 100.0, vol])))
        if len(out) == count or r.pos >= r.n:
            return out


def ref_transactions(data, history):
    r, acc, out = Body(data, 6 if history else 2), 0, []
    for _ in range(count_at(data, 0)):
        if not r.left(2):
            break
        t = r.take("<H")
        d, vol = r.price(), r.price()
        num = None if history else r.price()
        bos, _ = r.price(), r.price()
        acc = s64(acc + d)
        values = [f"{t // 60:02}:{t % 60:02}", acc / 100.0, vol] + ([] if history else [num])
        out.append(dict(zip(records.HISTORY_TRANSACTION if history else records.TRANSACTION,
                            values + [bos])))
    return out


def quote_code(raw):
    try:
        return raw.decode("utf-8").rstrip("\0")
    except UnicodeDecodeError:
        return ""


def ref_quotes(data):
    r, out = Body(data, 4), []
    for _ in range(count_at(data, 2)):
        if not r.left(9):
            break
        values = [r.b[r.pos], quote_code(r.b[r.pos + 1:r.pos + 7])]
        r.pos += 9
        price = r.price()
        values.append(price / 100.0)
        values += [s64(price + r.price()) / 100.0 for _ in range(4)]  # last close, open, high, low
        servertime, _, vol, cur_vol = r.price(), r.price(), r.price(), r.price()
        values += [servertime, vol, cur_vol]
        if not r.left(4):
            break
        values.append(volume(r.take("<I")))
        s_vol, b_vol, _, _ = r.price(), r.price(), r.price(), r.price()
        values += [s_vol, b_vol]
        for _ in range(5):  # bid, ask, bid volume, ask volume of each level
            values += [s64(price + r.price()) / 100.0, s64(price + r.price()) / 100.0,
                       r.price(), r.price()]
        if r.pos >= r.n:
            break
        r.pos += 2 if r.left(2) else 0
        _ = [r.price() for _ in range(4)]
        r.pos += 4 if r.left(4) else 0
        out.append(dict(zip(records.QUOTE, values, strict=True)))
    return out
