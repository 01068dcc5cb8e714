// Random numbers that can be drawn in any order: a hash of (security key, stream, position),
// bit for bit those of pelmora/testing/noise.py.
#pragma once

#include <cstdint>

namespace pelmora::sim {

inline constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ULL;

// The splitmix64 finaliser.
constexpr uint64_t mix(uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

constexpr uint64_t salt(uint64_t key, uint64_t stream) {
    return key ^ (stream * 0x632BE59BD9B4E019ULL);
}

// The 64 bits drawn at a position of the stream whose salt is `salted`.
constexpr uint64_t draw(uint64_t salted, uint64_t position) {
    return mix(position * kGolden + salted);
}

// A uniform number in [0, 1).
constexpr double uniform(uint64_t salted, uint64_t position) {
    return double(draw(salted, position) >> 11) * (1.0 / 9007199254740992.0);
}

// The i-th of the four 16-bit numbers of a draw (numpy views the word little-endian).
constexpr uint32_t part16(uint64_t bits, int i) {
    return uint32_t(bits >> (16 * i)) & 0xFFFF;
}

}  // namespace pelmora::sim
