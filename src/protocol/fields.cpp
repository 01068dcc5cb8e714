#include "protocol/fields.hpp"

#include <cmath>

namespace pelmora::proto {

double pow2(int e) { return std::ldexp(1.0, e); }

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
