// The packed date word of minute bars, in the servers' answers and in .lc1/.lc5 files alike:
// year - 2004 in bits 15-11, 100 * month + day in bits 10-0. Decoded here only.
#pragma once

#include <cstdint>

namespace pelmora::proto {

struct MinuteDate {
    uint32_t year;   // 2004 to 2035
    uint32_t month;  // not checked: up to 20
    uint32_t day;
};

constexpr MinuteDate decode_minute_date(uint16_t word) {
    const uint32_t md = word & 0x7FFu;
    return {2004u + (uint32_t(word) >> 11), md / 100, md % 100};
}

}  // namespace pelmora::proto
