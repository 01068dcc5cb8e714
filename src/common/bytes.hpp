// The one byte-vector type of requests, response bodies and file contents, and the
// little-endian loads that read fixed-width fields out of them.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace pelmora {

using Bytes = std::vector<uint8_t>;

inline uint16_t load_u16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t load_u32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
// A little-endian IEEE-754 single, widened exactly to double.
inline double load_f32(const uint8_t* p) {
    uint32_t bits = load_u32(p);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return double(f);
}

}  // namespace pelmora
