// Decimal digits written in place, two at a time: the date and time texts of every record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pelmora {

// "00", "01", ... "99": two digits per store.
inline constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324"
    "25262728293031323334353637383940414243444546474849"
    "50515253545556575859606162636465666768697071727374"
    "75767778798081828384858687888990919293949596979899";

inline void put2(char* out, uint32_t v) {
    std::memcpy(out, kDigitPairs + 2 * size_t(v), 2);
}  // v < 100

inline size_t decimal_digits(uint32_t v) {
    size_t n = 1;
    for (; v >= 100; v /= 100) n += 2;
    return n + (v >= 10);
}

// v in exactly `digits` decimal digits, written right to left; `digits` >= decimal_digits(v).
inline void put_digits(char* out, uint32_t v, size_t digits) {
    size_t i = digits;
    for (; i >= 2; i -= 2, v /= 100) put2(out + i - 2, v % 100);
    if (i) out[0] = char('0' + v % 10);
}

}  // namespace pelmora
