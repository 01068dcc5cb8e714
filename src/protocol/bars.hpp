// K-line bars (command 0x052D): one request form for security and index bars; index bars carry
// two more u16 counts in each record's fixed tail.
#pragma once

#include <cstdint>
#include <string_view>

#include "protocol/fields.hpp"
#include "protocol/request.hpp"

namespace pelmora::proto {

struct BarRecord {
    BarDateTime when;
    int64_t open, high, low, close;  // thousandths of the price unit
    double vol, amount;
    uint16_t up_count, down_count;  // index bars only; 0 for security bars
};

Bytes bars_request(uint16_t category, uint8_t market, std::string_view code, uint16_t start,
                   uint16_t count);

// Calls emit(const BarRecord&) for each whole bar in body order; emit returns false to stop.
// Each bar's open is a difference to the previous close (the first one's to 0); high, low and
// close are differences to its own open. Returns false only when emit did.
template <class Emit>
bool decode_bars(const uint8_t* body, size_t n, uint16_t category, bool index, Emit&& emit) {
    if (n < 2) return true;
    const size_t announced = load_u16(body);
    const size_t tail = index ? 12 : 8;
    size_t cursor = 2;
    uint64_t base = 0;  // sums wrap around like the server's 64-bit arithmetic
    BarRecord bar{};
    for (size_t i = 0; i < announced; ++i) {
        std::optional<BarDateTime> when = read_datetime(category, body, n, cursor);
        if (!when) break;
        const uint64_t d_open = uint64_t(read_price(body, n, cursor));
        const uint64_t d_close = uint64_t(read_price(body, n, cursor));
        const uint64_t d_high = uint64_t(read_price(body, n, cursor));
        const uint64_t d_low = uint64_t(read_price(body, n, cursor));
        if (cursor + tail > n) break;
        const uint8_t* p = body + cursor;
        cursor += tail;
        const uint64_t open = base + d_open;
        bar.when = *when;
        bar.open = int64_t(open);
        bar.high = int64_t(open + d_high);
        bar.low = int64_t(open + d_low);
        bar.close = int64_t(open + d_close);
        bar.vol = read_volume(load_u32(p));
        bar.amount = read_volume(load_u32(p + 4));
        if (index) {
            bar.up_count = load_u16(p + 8);
            bar.down_count = load_u16(p + 10);
        }
        base = open + d_close;
        if (!emit(static_cast<const BarRecord&>(bar))) return false;
    }
    return true;
}

// Every whole bar takes at least 16 bytes: 4 of date, 1 per difference and the tail (20 with
// the index tail); at most the announced count.
inline size_t bars_bound(const uint8_t* body, size_t n, bool index) {
    if (n < 2) return 0;
    size_t announced = load_u16(body), fit = (n - 2) / (index ? 20 : 16);
    return announced < fit ? announced : fit;
}

}  // namespace pelmora::proto
