// The compact numeric fields of response bodies. All work in place on the body with a cursor
// kept by the caller's decode loop; none allocates or fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/bytes.hpp"
#include "protocol/minute_date.hpp"

namespace pelmora::proto {

// Variable-length signed integer: 6 value bits and the sign (0x40) in the first byte, 7 bits in
// each following byte, least significant group first; bit 0x80 means another byte follows.
// At or past the end of the body it reads 0 and leaves the cursor alone. A value cut by the end
// of the body keeps the bits read so far and leaves the cursor at n + 1.
inline int64_t read_price(const uint8_t* body, size_t n, size_t& cursor) {
    if (cursor >= n) return 0;
    uint8_t b = body[cursor];
    uint64_t m = b & 0x3F;
    bool negative = b & 0x40;
    unsigned shift = 6;
    while (b & 0x80) {
        if (cursor == n - 1) {
            cursor = n + 1;
            return negative ? int64_t(0 - m) : int64_t(m);
        }
        b = body[++cursor];
        m += uint64_t(b & 0x7F) << (shift & 63);
        shift += 7;
    }
    ++cursor;
    return negative ? int64_t(0 - m) : int64_t(m);
}

// Steps over one variable-length value exactly as read_price would.
inline void skip_price(const uint8_t* body, size_t n, size_t& cursor) {
    if (cursor >= n) return;
    while (body[cursor] & 0x80) {
        if (cursor == n - 1) {
            cursor = n + 1;
            return;
        }
        ++cursor;
    }
    ++cursor;
}

// 2^e for -150 <= e <= 383, exactly.
double pow2(int e);

// The packed 32-bit floating word of volumes and turnovers.
double read_volume(uint32_t word);

struct BarDateTime {
    uint32_t year, month, day, hour, minute;
};

// Categories 0, 1, 2, 3, 7 and 8 carry the packed minute form; all others the YYYYMMDD form.
inline constexpr uint32_t kMinuteCategories = 0x18F;  // bit c set for category c
inline constexpr uint16_t kCategoryBits = 32;

inline bool is_minute_category(uint16_t category) {
    return category < kCategoryBits && ((kMinuteCategories >> category) & 1);
}

inline std::optional<BarDateTime> read_datetime(uint16_t category, const uint8_t* body, size_t n,
                                                size_t& cursor) {
    if (cursor + 4 > n) return std::nullopt;
    const uint8_t* p = body + cursor;
    cursor += 4;
    if (is_minute_category(category)) {
        const MinuteDate date = decode_minute_date(load_u16(p));
        const uint32_t t = load_u16(p + 2);
        return BarDateTime{date.year, date.month, date.day, t / 60, t % 60};
    }
    uint32_t d = load_u32(p);
    return BarDateTime{d / 10000, (d % 10000) / 100, d % 100, 15, 0};
}

}  // namespace pelmora::proto
