#include "protocol/fields.hpp"

#include <cstring>

namespace pelmora::proto {

// Built from its bits: every exponent used lies well inside the normal range of a double,
// and this runs eight times per word, where a call to ldexp() would dominate the decoding.
double pow2(int e) {
    const uint64_t bits = uint64_t(e + 1023) << 52;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

double read_volume(uint32_t word) {
    const int b0 = int(word & 0xFF), b1 = int((word >> 8) & 0xFF);
    const int b2 = int((word >> 16) & 0xFF), b3 = int(word >> 24);
    const int e = 2 * b3;
    // Every power below is exact, and so is each product with a byte; only the sums round.
    // The three forms of y are all worked out and one is picked without a branch: b2 is as
    // good as random, and a mispredicted branch costs more than the two unused products.
    const double x = pow2(e - 127);
    const double high = pow2(e - 134) * 128 + pow2(e - 133) * (b2 - 128);  // b2 > 128
    const double plain = pow2(e - 134) * b2;                               // b3 >= 67
    const double reciprocal = pow2(134 - e) * b2;  // the format's reciprocal branch
    const double low = b3 >= 67 ? plain : reciprocal;
    const double y = b2 > 128 ? high : low;
    const double scale = (b2 & 0x80) ? 2.0 : 1.0;
    const double z = pow2(e - 142) * b1 * scale;
    const double w = pow2(e - 150) * b0 * scale;
    return ((x + y) + z) + w;
}

}  // namespace pelmora::proto
