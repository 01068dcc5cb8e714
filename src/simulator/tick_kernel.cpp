#include "simulator/tick_kernel.hpp"

#include <algorithm>
#include <cmath>

#include "simulator/minute_kernel.hpp"
#include "simulator/noise.hpp"

namespace pelmora::sim {

namespace {

// numpy's // on integers: rounds toward minus infinity.
int64_t floor_div(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

void day_ticks(uint64_t key, int64_t day, const MinuteColumns& m, const TickColumns& out) {
    const uint64_t order = salt(key, 20);
    const uint64_t cut_salts[3] = {salt(key, 21), salt(key, 22), salt(key, 23)};
    int64_t previous = 0, last_move = 0;
    for (int j = 0; j < kMinutesPerDay; ++j) {
        const auto pos = uint64_t(day * kMinutesPerDay + j);
        const bool high_first = uniform(order, pos) < 0.5;
        const int64_t prices[kTicksPerMinute] = {m.open[j], high_first ? m.high[j] : m.low[j],
                                                 high_first ? m.low[j] : m.high[j], m.close[j]};
        double draws[3];
        for (int i = 0; i < 3; ++i) draws[i] = uniform(cut_salts[i], pos);
        std::sort(draws, draws + 3);
        // Three cuts split the minute's volume into four parts, each at least one lot when
        // there are four.
        const int64_t vol = m.vol[j];
        int64_t edges[kTicksPerMinute + 1] = {0, 0, 0, 0, vol};
        for (int i = 0; i < 3; ++i)
            edges[i + 1] = 1 + int64_t(std::floor(draws[i] * double(vol - 3))) + i;
        for (int k = 0; k < kTicksPerMinute; ++k) {
            const int at = j * kTicksPerMinute + k;
            // A tick at an unchanged price keeps the side of the one before; the day's first is
            // a buy.
            if (at > 0 && prices[k] != previous) last_move = prices[k] < previous ? -1 : 1;
            previous = prices[k];
            const int64_t part = edges[k + 1] - edges[k];
            out.price[at] = prices[k];
            out.vol[at] = part;
            out.num[at] = std::max<int64_t>(1, floor_div(part, 25));
            out.side[at] = last_move < 0 ? 1 : 0;
        }
    }
}

}  // namespace pelmora::sim
