// Bar times as seconds since 1970-01-01 00:00 of the exchange's own clock (no time zone): the
// integer form of numpy's datetime64[s].
#pragma once

#include <cstdint>
#include <limits>

#include "common/not_a_time.hpp"
#include "protocol/fields.hpp"

namespace pelmora::engine {

// Days from 1970-01-01 to a proleptic Gregorian date (Howard Hinnant's days_from_civil).
constexpr int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

// Days of month m (1 to 12) of year y.
constexpr uint32_t days_in_month(uint32_t y, uint32_t m) {
    constexpr uint8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
    return kDays[m - 1] + (m == 2 && leap);
}

constexpr bool valid_date(uint32_t y, uint32_t m, uint32_t d) {
    return y >= 1900 && y <= 2200 && m >= 1 && m <= 12 && d >= 1 && d <= days_in_month(y, m);
}

// Bars of a day or longer are stamped at midnight, minute bars at the minute they end; a time
// no calendar holds comes out as NaT.
inline int64_t bar_seconds(const proto::BarDateTime& t, bool minute_form) {
    if (!valid_date(t.year, t.month, t.day)) return kNotATime;
    int64_t s = days_from_civil(t.year, t.month, t.day) * 86400;
    if (!minute_form) return s;
    if (t.hour > 23) return kNotATime;
    return s + int64_t(t.hour) * 3600 + int64_t(t.minute) * 60;
}

}  // namespace pelmora::engine
