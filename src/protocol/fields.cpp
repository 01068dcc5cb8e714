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
    double x = pow2(e - 127);
    double y;
    if (b2 > 128)
        y = pow2(e - 134) * 128 + pow2(e - 133) * (b2 - 128);
    else if (b3 >= 67)
        y = pow2(e - 134) * b2;
    else
        y = pow2(134 - e) * b2;  // the format's reciprocal branch
    double z = pow2(e - 142) * b1;
    double w = pow2(e - 150) * b0;
    if (b2 & 0x80) {
        z *= 2;
        w *= 2;
    }
    return ((x + y) + z) + w;
}

}  // namespace pelmora::proto
