"""Server side of the HQ commands: parse a request, build the plain response body.

`Responder.respond(request)` returns the whole response (header and possibly compressed body).
Requests it cannot make sense of (unknown command, too short) get an empty body, which every
client command reads as "nothing".

K-line bars: security bars and index bars are asked for with the same request, so the server
cannot know which of the two layouts the client will read. It answers index codes (kind "index"
in the market) with the index layout, whose bars end in advancing and declining counts (a
12-byte tail), and every other code with the security layout (an 8-byte tail). A client that
reads a stock with `get_index_bars`, or an index with `get_security_bars`, misreads the bars, as
it would against a real server.

Units: K-line bar prices go in thousandths of the currency; quote, transaction and
minute-series prices (and the book) in the security's ticks, 10^-decimal_point of the currency
(cents, or thousandths for funds, bonds, Shanghai's B shares and warrants), which a client reads
as hundredths; every volume counts lots of the list's `volunit`; amounts are in the currency.

Page limits, as a real server has them: 1000 securities per list page, 800 bars, 2000
transactions and 80 quotes per request; longer requests get the first that many.
"""
import functools
import struct
from typing import Any, Callable

import numpy as np

from ..limits import BAR_PAGE, LIST_PAGE, QUOTE_PAGE, TRANSACTION_PAGE
from . import corporate as corp
from . import wrong
from .heap import retain_freed_memory
from .market import DAILY_CATEGORIES, INTRADAY_CATEGORIES, SERVERTIME, SimulatedMarket
from .wire import (Array, encode_price, encode_volume, fixed_columns, frame, price_columns, records,
                   prepare_yuan, volume_columns, volume_word, yuan_columns)

FILE_CHUNK = 30000

_SETUP_BODY = bytes(range(1, 43))


def _code(raw: bytes) -> str:
    return raw.split(b"\0", 1)[0].decode("ascii", "replace")


def _text(raw: bytes) -> str:
    return raw.split(b"\0", 1)[0].decode("utf-8", "replace")


def _fixed(data: bytes, width: int) -> bytes:
    return bytes(data[:width]).ljust(width, b"\0")


def _varints(rows: Array) -> tuple[Array, Array]:
    """`price_columns` of a matrix, each row's values side by side."""
    n, k = rows.shape
    data, used = price_columns(rows.reshape(-1))
    return data.reshape(n, -1), used.reshape(n, -1)


class Responder:
    """Answers requests from the data of one `SimulatedMarket`."""

    def __init__(self, market: SimulatedMarket | None = None,
                 wrong_data: str | None = None) -> None:
        retain_freed_memory()
        self.market = market or SimulatedMarket()
        self.wrong_data = wrong_data  # a kind of `wrong`: bar answers carry wrong bars
        self.corporate = corp.Corporate(self.market)
        self._handlers: dict[int, tuple[int, Callable[[bytes], bytes]]] = {
            0x000D: (1, lambda r: b"\x01\x02\x03"), 0x0FDB: (0, lambda r: _SETUP_BODY),
            0x044E: (6, self.security_count), 0x0450: (4, self.security_list),
            0x052D: (16, self.bars), 0x051D: (8, self.minute_time),
            0x0FB4: (11, self.history_minute_time), 0x0FC5: (12, self.transactions),
            0x0FB5: (16, self.history_transactions), 0x053E: (10, self.quotes),
            0x000F: (9, self.xdxr), 0x0010: (9, self.finance),
            0x02CF: (8, self.company_category), 0x02D0: (98, self.company_content),
            0x02C5: (40, self.block_meta), 0x06B9: (108, self.file_chunk),
        }

    def respond(self, request: bytes) -> bytes:
        command = struct.unpack_from("<H", request, 10)[0] if len(request) >= 12 else 0
        params_needed, handler = self._handlers.get(command, (0, None))
        body = b""
        if handler is not None and len(request) >= 12 + params_needed:
            body = handler(request)
        return frame(body, request[1:5], command)

    def _key(self, market: int, raw_code: bytes) -> tuple[int, str] | None:
        sec = self.market.security(market, _code(raw_code))
        return sec.key if sec else None

    # ------------------------------------------------------------------ security list

    def security_count(self, req: bytes) -> bytes:
        market = struct.unpack_from("<H", req, 12)[0]
        return struct.pack("<H", len(self.market.securities(market)))

    def security_list(self, req: bytes) -> bytes:
        market, start = struct.unpack_from("<HH", req, 12)
        rows = self._list_rows(market)[start:start + LIST_PAGE]
        n = len(rows)
        if n:
            rows = rows.copy()
            closes = self.market.pre_closes(market, start, start + n)
            rows[:, 21:25] = yuan_columns(closes)
            # The previous close goes in the currency: thousandths for the 3-decimal securities.
            mills = np.flatnonzero(rows[:, 20] == 3)
            if mills.size:
                rows[mills, 21:25] = volume_columns(closes[mills] / 1000)
        return struct.pack("<H", n) + rows.tobytes()

    @functools.lru_cache(maxsize=2)
    def _list_rows(self, market: int) -> Array:
        """The list's 29-byte rows of a market without their previous closes: code, volume
        unit, name, 4 empty bytes, decimal places, (the close, 4 bytes), 4 empty bytes."""
        secs = self.market.securities(market)
        rows = np.zeros((len(secs), 29), dtype=np.uint8)
        if secs:
            rows[:, 0:6] = np.array([s.code.encode() for s in secs], "S6")[:, None].view(np.uint8)
            rows[:, 6:8] = fixed_columns(np.array([s.volunit for s in secs]), "<u2")
            rows[:, 8:16] = np.array([s.name.encode("gbk") for s in secs],
                                     "S8")[:, None].view(np.uint8)
            rows[:, 20] = [s.decimal_point for s in secs]
        return rows

    def prepare(self) -> None:
        """Works out ahead what answers share, as a server does before it takes requests: the
        previous closes, today's quotes and the list's rows."""
        self.market.prepare()
        prepare_yuan()
        for market in (0, 1):
            self._list_rows(market)

    # ------------------------------------------------------------------ bars

    def bars(self, req: bytes) -> bytes:
        market, = struct.unpack_from("<H", req, 12)
        category, _, start, count = struct.unpack_from("<HHHH", req, 20)
        key = self._key(market, req[14:20])
        known = category in DAILY_CATEGORIES or category in INTRADAY_CATEGORIES
        if key is None or not known:
            return b"\x00\x00"
        sec = self.market.history(key).sec
        page = self.market.bar_columns(key, category, start, min(count, BAR_PAGE))
        if self.wrong_data is not None:
            page = wrong.wrong_page(self.wrong_data, self.market, key, category, start,
                                    min(count, BAR_PAGE), page)
        n = len(page.date)
        if n == 0:
            return b"\x00\x00"
        if category in INTRADAY_CATEGORIES:
            y, md = page.date // 10000, page.date % 10000
            stamp = np.stack([((y - 2004) << 11) | md, page.minute], axis=1)
            when: Array = fixed_columns(stamp, "<u2").reshape(n, 4)
        else:
            when = fixed_columns(page.date, "<u4")
        # The bars carry thousandths of the currency, whatever the security's ticks; each open
        # is sent from the previous close.
        mills = 10 ** (3 - sec.decimal_point)
        o, c = page.open * mills, page.close * mills
        base = np.concatenate([[0], c[:-1]])
        prices = price_columns(np.stack([o - base, c - o, page.high * mills - o,
                                         page.low * mills - o], axis=1).reshape(-1))
        width = prices[0].shape[1]
        parts: list[Any] = [when, (prices[0].reshape(n, 4 * width), prices[1].reshape(n, 4 * width)),
                 volume_columns(np.stack([page.vol, page.amount], axis=1).reshape(-1))
                 .reshape(n, 8)]
        if sec.is_index:
            counts = self.market.updown(sec, page.open, page.close)
            parts.append(fixed_columns(counts, "<u2").reshape(n, 4))
        return struct.pack("<H", n) + records(*parts)

    # ------------------------------------------------------------------ minute time

    def _minute_body(self, key: tuple[int, str] | None, index: int | None, head: int) -> bytes:
        if key is not None:
            index = self.market.intraday_day(key, index)
        if key is None or index is None:
            return struct.pack("<H", 0) + bytes(head - 2)
        m = self.market.minute_day(key, index)
        close, vol = m.close[0], m.vol[0]
        sec = self.market.security(*key)
        # Between price and volume (the client skips it): the day's average price so far, in
        # ticks like the price; an index has none and repeats its price. The running sums add
        # up in order, as a loop would.
        average = close if sec is None or sec.is_index else \
            np.rint(np.cumsum(m.amount[0]) / np.cumsum(vol)
                    * (sec.scale / sec.volunit)).astype(np.int64)
        step = np.diff(close, prepend=0)
        prices = _varints(np.stack([step, average, vol], axis=1))
        return struct.pack("<H", len(close)) + bytes(head - 2) + records(prices)

    def minute_time(self, req: bytes) -> bytes:
        market, = struct.unpack_from("<H", req, 12)
        return self._minute_body(self._key(market, req[14:20]), self.market.last, 4)

    def history_minute_time(self, req: bytes) -> bytes:
        date, market = struct.unpack_from("<IB", req, 12)
        return self._minute_body(self._key(market, req[17:23]), self.market.day_index(date), 6)

    # ------------------------------------------------------------------ transactions

    def _transaction_body(self, key: tuple[int, str] | None, index: int | None, start: int, count: int,
                          head: int, with_num: bool) -> bytes:
        if key is not None:
            index = self.market.intraday_day(key, index)
        if key is None or index is None:
            return struct.pack("<H", 0) + bytes(head - 2)
        t = self.market.tick_columns(key, index)
        end = max(0, len(t.time) - start)
        begin = max(0, end - min(count, TRANSACTION_PAGE))
        page = type(t)._make(x[begin:end] for x in t)
        n = len(page.time)
        if n == 0:
            return struct.pack("<H", 0) + bytes(head - 2)
        step = np.diff(page.price, prepend=0)  # the page's first price is sent whole
        fields = [step, page.vol] + ([page.num] if with_num else []) + [page.side]
        return (struct.pack("<H", n) + bytes(head - 2)
                + records(fixed_columns(page.time, "<u2"), _varints(np.stack(fields, axis=1)),
                          np.zeros((n, 1), np.uint8)))

    def transactions(self, req: bytes) -> bytes:
        market, = struct.unpack_from("<H", req, 12)
        start, count = struct.unpack_from("<HH", req, 20)
        return self._transaction_body(self._key(market, req[14:20]), self.market.last,
                                      start, count, 2, True)

    def history_transactions(self, req: bytes) -> bytes:
        date, market = struct.unpack_from("<IH", req, 12)
        start, count = struct.unpack_from("<HH", req, 24)
        return self._transaction_body(self._key(market, req[18:24]), self.market.day_index(date),
                                      start, count, 6, False)

    # ------------------------------------------------------------------ quotes

    def quotes(self, req: bytes) -> bytes:
        n, = struct.unpack_from("<H", req, 20)
        items = [(req[22 + 7 * i], req[23 + 7 * i:29 + 7 * i])
                 for i in range(min(n, QUOTE_PAGE)) if 29 + 7 * i <= len(req)]
        entries = []
        for market, raw in items:
            key = self._key(market, raw)
            if key is not None:  # the server has nothing to say about codes it does not know
                entries.append(self._quote_entry(key))
        return struct.pack("<HH", 0, len(entries)) + b"".join(entries)

    def _quote_entry(self, key: tuple[int, str]) -> bytes:
        sec = self.market.security(*key)
        assert sec is not None
        day, last, sold, bought = self.market.quote(key)
        pre_close = self.market.pre_close(key)
        out = bytearray(struct.pack("<B", sec.market) + sec.code.encode() + bytes(2))
        if day is None or last is None:  # not traded today: at the last close, nothing done
            price = self.market.last_close(key)
            fields = (price, pre_close - price, -price, -price, -price, SERVERTIME, 0, 0, 0)
            amount = 0.0
        else:
            price = day.close
            fields = (price, pre_close - price, day.open - price, day.high - price,
                      day.low - price, SERVERTIME, 0, day.vol, last.vol)
            amount = day.amount
        for value in fields:
            out += encode_price(value)
        out += encode_volume(amount)
        for value in (sold, bought, 0, 0):
            out += encode_price(value)
        for bid, ask, bid_vol, ask_vol in self.market.book(sec):
            out += encode_price(bid - price) + encode_price(ask - price)
            out += encode_price(bid_vol) + encode_price(ask_vol)
        return bytes(out + bytes(2) + b"\x00" * 4 + bytes(4))

    # ------------------------------------------------------------------ corporate data

    def xdxr(self, req: bytes) -> bytes:
        market = req[14]
        key = self._key(market, req[15:21])
        events = self.corporate.events(key) if key else ()
        head = bytes((market,)) + _fixed(req[15:21], 6) + bytes(2)
        out = bytearray(head + struct.pack("<H", len(events)))
        for e in events:
            out += head[:7] + b"\x00" + struct.pack("<IB", e.date, e.category)
            if e.category == 1:
                out += struct.pack("<4f", *e.slots)
            else:
                out += struct.pack("<4I", *(volume_word(v) if v else 0 for v in e.slots))
        return bytes(out)

    def finance(self, req: bytes) -> bytes:
        market = req[14]
        key = self._key(market, req[15:21])
        fin = self.corporate.finance(key) if key else None
        head = struct.pack("<HB", 0 if fin is None else 1, market) + _fixed(req[15:21], 6)
        if fin is None:
            return head
        tradable, province, industry, updated, ipo, values = fin
        return (head + struct.pack("<fHHII", tradable, province, industry, updated, ipo)
                + struct.pack("<29f", *(values[k] for k, _ in corp.FINANCE_VALUES)))

    def company_category(self, req: bytes) -> bytes:
        market, = struct.unpack_from("<H", req, 12)
        key = self._key(market, req[14:20])
        entries = self.corporate.company_categories(key) if key else []
        out = bytearray(struct.pack("<H", len(entries)))
        for title, filename, start, length in entries:
            out += _fixed(title.encode("gbk"), 64) + _fixed(filename.encode(), 80)
            out += struct.pack("<II", start, length)
        return bytes(out)

    def company_content(self, req: bytes) -> bytes:
        market, = struct.unpack_from("<H", req, 12)
        key = self._key(market, req[14:20])
        filename = _text(req[22:102])
        start, length = struct.unpack_from("<II", req, 102)
        text = b""
        if key is not None and filename == self.corporate.company_file(key):
            text = self.corporate.company_bytes(key)[start:start + min(length, FILE_CHUNK)]
        head = struct.pack("<H", market) + _fixed(req[14:20], 6) + bytes(2)
        return head + struct.pack("<H", len(text)) + text

    def block_meta(self, req: bytes) -> bytes:
        name = _text(req[12:52])
        data = self.corporate.server_file(name)
        size = len(data) if data is not None else 0
        digest = self.corporate.file_hash(name).encode()
        return struct.pack("<IB", size, 0) + _fixed(digest, 32) + b"\x00"

    def file_chunk(self, req: bytes) -> bytes:
        start, size = struct.unpack_from("<II", req, 12)
        data = self.corporate.server_file(_text(req[20:120])) or b""
        chunk = data[start:start + min(size, FILE_CHUNK)]
        return struct.pack("<I", len(chunk)) + chunk
