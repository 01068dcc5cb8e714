// The simulated market's ticks of one day, compiled: four a minute (open, high and low in either
// order, close) whose volumes add up to the minute's, the same integers as tick_rows() of
// pelmora/testing/minutes.py.
#pragma once

#include <cstdint>

namespace pelmora::sim {

inline constexpr int kTicksPerMinute = 4;

// The day's 240 one-minute bars.
struct MinuteColumns {
    const int64_t* open;
    const int64_t* high;
    const int64_t* low;
    const int64_t* close;
    const int64_t* vol;
};

// Where the day's 960 ticks go; side 0 is a buy, 1 a sell.
struct TickColumns {
    int64_t* price;
    int64_t* vol;
    int64_t* num;
    int64_t* side;
};

// The ticks of calendar day `day` of the security whose noise key is `key`.
void day_ticks(uint64_t key, int64_t day, const MinuteColumns& minutes, const TickColumns& out);

}  // namespace pelmora::sim
