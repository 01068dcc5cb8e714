// Real-time quotes of a batch of securities (command 0x053E).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "protocol/fields.hpp"
#include "protocol/request.hpp"

namespace pelmora::proto {

// The request's 16-bit length field counts 7 bytes per item plus 12: 7 * 9360 + 12 = 65532.
inline constexpr size_t kMaxQuoteItems = 9360;

struct QuoteLevel {
    int64_t bid, ask;  // absolute prices, hundredths
    int64_t bid_vol, ask_vol;
};

struct QuoteRecord {
    uint8_t market;
    uint8_t code_size;  // bytes of code[] in use: 0 when the six bytes are not UTF-8
    char code[6];
    int64_t price, last_close, open, high, low;  // absolute prices, hundredths
    int64_t servertime, vol, cur_vol;
    double amount;
    int64_t s_vol, b_vol;
    QuoteLevel levels[5];
};

// The body: a u16 count at offset 2, the entries from offset 4. An entry: market, code and two
// skipped bytes; 9 variable-length values; the 4-byte amount; 24 values (4 before the levels,
// 4 for each of 5 levels); the trailer of 2 bytes, 4 values and 4 bytes.
inline constexpr size_t kQuoteCountAt = 2;
inline constexpr size_t kFirstQuote = 4;
inline constexpr size_t kQuoteFixed = 9;
inline constexpr size_t kQuoteValuesBeforeAmount = 9;
inline constexpr size_t kQuoteValuesAfterAmount = 24;
inline constexpr size_t kQuoteTrailerValues = 4;

// Fails with a ValueError-kind error when the items do not fit one request.
Status quotes_request(std::span<const std::pair<uint8_t, std::string>> items, Bytes& out);

// The code text of an entry: the six bytes if they are valid UTF-8 (else nothing), without
// trailing NULs.
void decode_quote_code(const uint8_t* p, QuoteRecord& r);

// Calls emit(const QuoteRecord&) per complete entry; emit returns false to stop. An entry cut
// before its trailer is never emitted; a cut trailer is tolerated.
template <class Emit>
bool decode_quotes(const uint8_t* body, size_t n, Emit&& emit) {
    if (n < kFirstQuote) return true;
    const size_t announced = load_u16(body + kQuoteCountAt);
    size_t cursor = kFirstQuote;
    QuoteRecord r;
    // Differences are added with wrap-around: the server's arithmetic is 64-bit two's complement.
    auto rel = [&](uint64_t price) {
        return int64_t(price + uint64_t(read_price(body, n, cursor)));
    };
    for (size_t i = 0; i < announced; ++i) {
        if (cursor + kQuoteFixed > n) break;
        r.market = body[cursor];
        decode_quote_code(body + cursor + 1, r);
        cursor += kQuoteFixed;
        const uint64_t price = uint64_t(read_price(body, n, cursor));
        r.price = int64_t(price);
        r.last_close = rel(price);
        r.open = rel(price);
        r.high = rel(price);
        r.low = rel(price);
        r.servertime = read_price(body, n, cursor);
        skip_price(body, n, cursor);
        r.vol = read_price(body, n, cursor);
        r.cur_vol = read_price(body, n, cursor);
        if (cursor + 4 > n) break;
        r.amount = read_volume(load_u32(body + cursor));
        cursor += 4;
        r.s_vol = read_price(body, n, cursor);
        r.b_vol = read_price(body, n, cursor);
        skip_price(body, n, cursor);
        skip_price(body, n, cursor);
        for (QuoteLevel& level : r.levels) {
            level.bid = rel(price);
            level.ask = rel(price);
            level.bid_vol = read_price(body, n, cursor);
            level.ask_vol = read_price(body, n, cursor);
        }
        if (cursor >= n) break;
        if (cursor + 2 <= n) cursor += 2;
        for (int k = 0; k < 4; ++k) skip_price(body, n, cursor);
        if (cursor + 4 <= n) cursor += 4;
        if (!emit(static_cast<const QuoteRecord&>(r))) return false;
    }
    return true;
}

// A complete entry takes at least 47 bytes: 9 fixed, one per value before and after the amount
// (9 and 24), the amount's 4 and one of trailer.
inline size_t quotes_bound(const uint8_t* body, size_t n) {
    constexpr size_t kLeast =
        kQuoteFixed + kQuoteValuesBeforeAmount + 4 + kQuoteValuesAfterAmount + 1;
    if (n < kFirstQuote) return 0;
    size_t announced = load_u16(body + kQuoteCountAt), fit = (n - kFirstQuote) / kLeast;
    return announced < fit ? announced : fit;
}

}  // namespace pelmora::proto
