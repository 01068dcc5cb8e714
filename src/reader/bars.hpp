// Record layouts of the daily-bar (.day) and minute-bar (.lc1, .lc5) files and their date texts.
// Every record is 32 little-endian bytes; the last 4 are reserved and never read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/bytes.hpp"
#include "common/decimal.hpp"
#include "protocol/minute_date.hpp"

namespace pelmora::reader {

struct DailyRecord {
    uint32_t date;                    // YYYYMMDD as a decimal number
    uint32_t open, high, low, close;  // integer price units
    double amount;                    // the stored single, widened exactly
    uint32_t volume;
};

inline DailyRecord decode_daily(const uint8_t* r) {
    return {load_u32(r),      load_u32(r + 4),  load_u32(r + 8), load_u32(r + 12),
            load_u32(r + 16), load_f32(r + 20), load_u32(r + 24)};
}

struct MinuteRecord {
    uint16_t date;                          // the packed minute date (protocol/minute_date.hpp)
    uint16_t time;                          // minutes since midnight, not reduced modulo a day
    double open, high, low, close, amount;  // stored singles, widened exactly
    uint32_t volume;
};

inline MinuteRecord decode_minute(const uint8_t* r) {
    return {load_u16(r),      load_u16(r + 2),  load_f32(r + 4),  load_f32(r + 8),
            load_f32(r + 12), load_f32(r + 16), load_f32(r + 20), load_u32(r + 24)};
}

// The texts are sized first, then written in place, so that the caller can write them straight
// into a string object of the right length. No calendar or clock check is made.

// Daily date "{year}-{month:02}-{day:02}": the month and day are below 100, so two digits each.
inline size_t daily_date_size(uint32_t date) {
    return decimal_digits(date / 10000) + 6;
}

inline void write_daily_date(uint32_t date, char* out) {
    const uint32_t year = date / 10000, md = date % 10000;
    const size_t n = decimal_digits(year);
    put_digits(out, year, n);
    out[n] = '-';
    put2(out + n + 1, md / 100);
    out[n + 3] = '-';
    put2(out + n + 4, md % 100);
}

// Minute date-time "{year}-{month:02}-{day:02} {hour:02}:{minute:02}": the year is 2004 to 2035,
// the month at most 20, only the hour (up to 1092) can take more than two digits.
inline size_t minute_hour_digits(uint16_t time) {
    const uint32_t hour = time / 60u;
    return hour < 100 ? 2 : decimal_digits(hour);
}

inline size_t minute_datetime_size(uint16_t time) {
    return 14 + minute_hour_digits(time);
}

inline void write_minute_datetime(uint16_t date, uint16_t time, char* out) {
    const proto::MinuteDate d = proto::decode_minute_date(date);
    put2(out, 20);
    put2(out + 2, d.year - 2000);  // 2004 to 2035
    out[4] = '-';
    put2(out + 5, d.month);
    out[7] = '-';
    put2(out + 8, d.day);
    out[10] = ' ';
    const size_t h = minute_hour_digits(time);
    put_digits(out + 11, time / 60u, h);
    out[11 + h] = ':';
    put2(out + 12 + h, time % 60u);
}

}  // namespace pelmora::reader
