// The simulated market's intraday bars of one security, compiled: the one-minute bars derived
// from its day bars and their grouping into 5, 15, 30 and 60-minute bars, the same integers and
// doubles as minute_bars() and group() of pelmora/testing/minutes.py. Days are generated one at a
// time, so a page that spans two hundred days never holds their minutes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/error.hpp"

namespace pelmora::sim {

inline constexpr int kMinutesPerDay = 240;

// Day bars of one security, oldest first (the columns of pelmora.testing.history.DayBars).
struct DayColumns {
    const int64_t* day;  // calendar index
    const int64_t* open;
    const int64_t* high;
    const int64_t* low;
    const int64_t* close;
    const int64_t* vol;
    const double* amount;
    size_t size;
};

// Where the bars go: `size` of each column.
struct BarColumns {
    int64_t* open;
    int64_t* high;
    int64_t* low;
    int64_t* close;
    int64_t* vol;
    double* amount;
    size_t size;
};

// Writes bars [skip, skip + out.size) of the `minutes`-minute bars (1, 5, 15, 30 or 60) of the
// days, counted from the first day's first bar, for the security whose noise key is `key`.
Status intraday_bars(uint64_t key, const DayColumns& days, int minutes, size_t skip,
                     const BarColumns& out);

}  // namespace pelmora::sim
