// The compact numeric fields of fields.hpp read a machine word at a time, for decoders that
// know at least 8 bytes are readable where a field starts. Same values, far fewer branches: the
// lengths of the variable-length integers are as good as random, so a byte loop mispredicts.
#pragma once

#include <cstdint>
#include <cstring>

#include "protocol/fields.hpp"

namespace pelmora::proto {

inline uint64_t load_u64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// read_price of a value of at most 8 bytes at p (8 bytes readable): its length, with the value
// in `value`; 0 for a longer value, which read_price must then read.
inline unsigned read_price_word(const uint8_t* p, int64_t& value) {
    const uint64_t v = load_u64(p);
    const uint64_t ends = ~v & 0x8080808080808080u;
    if (ends == 0) return 0;
    // The value's bytes: those up to the first without the continuation bit.
    uint64_t x = v & (ends ^ (ends - 1)) & 0x7F7F7F7F7F7F7F7Fu;
    // Seven-bit groups packed together, the first byte's lowest.
    x = (x & 0x007F007F007F007Fu) | ((x & 0x7F007F007F007F00u) >> 1);
    x = (x & 0x00003FFF00003FFFu) | ((x & 0x3FFF00003FFF0000u) >> 2);
    x = (x & 0x000000000FFFFFFFu) | ((x & 0x0FFFFFFF00000000u) >> 4);
    // The first byte holds the sign (0x40) above its six value bits.
    const uint64_t m = (x & 0x3F) | ((x >> 1) & ~uint64_t(0x3F));
    value = (x & 0x40) ? int64_t(0 - m) : int64_t(m);
    return unsigned(__builtin_ctzll(ends) >> 3) + 1;
}

// read_price_word for the common value of at most 4 bytes: half the masks, all of them
// immediates. 0 for a longer value.
inline unsigned read_price_short(const uint8_t* p, int64_t& value) {
    const uint32_t v = load_u32(p);
    const uint32_t ends = ~v & 0x80808080u;
    if (ends == 0) return 0;
    uint32_t x = v & (ends ^ (ends - 1)) & 0x7F7F7F7Fu;
    x = (x & 0x007F007Fu) | ((x & 0x7F007F00u) >> 1);
    x = (x & 0x00003FFFu) | ((x & 0x3FFF0000u) >> 2);
    const int64_t m = int64_t((x & 0x3F) | ((x >> 1) & ~uint32_t(0x3F)));
    value = (x & 0x40) ? -m : m;
    return unsigned(__builtin_ctz(ends) >> 3) + 1;
}

// read_volume, built straight from the word's bits where it is exact: outside the format's
// reciprocal branch the word is a float with a 9-bit exponent (b3 twice, plus b2's top bit) and
// a 23-bit fraction, and every sum read_volume makes is exact, so the result is that number.
inline double volume_of(uint32_t word) {
    const uint32_t b3 = word >> 24, b2 = (word >> 16) & 0xFF;
    if (b3 < 67 && b2 <= 128) return read_volume(word);
    const uint64_t exponent = 2 * b3 + (b2 >> 7);  // biased by 127
    const uint64_t bits = ((exponent + 1023 - 127) << 52) | (uint64_t(word & 0x7FFFFF) << 29);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

}  // namespace pelmora::proto
