#include "simulator/minute_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "simulator/noise.hpp"

// Every floating-point step below is the numpy expression's, operand for operand and in its
// order: the target is built with -ffp-contract=off, so no fused multiply-add rounds once where
// numpy rounds twice.
namespace pelmora::sim {

namespace {

constexpr int kLast = kMinutesPerDay - 1;

// np.rint (to nearest, ties to even) without the library call that std::nearbyint costs where
// the instruction set has no rounding instruction: below 2^51, adding 1.5 * 2^52 leaves no
// fraction bits, so the addition itself rounds in the default mode.
inline double rint(double x) {
    constexpr double kShift = 6755399441055744.0;  // 1.5 * 2^52
    if (std::fabs(x) < 2251799813685248.0) return (x + kShift) - kShift;
    return std::nearbyint(x);
}

// np.floor followed by astype(int64); truncation is floor for the non-negative values here.
inline int64_t floor_int(double x) {
    return x >= 0 ? int64_t(x) : int64_t(std::floor(x));
}

// numpy's pairwise summation of a contiguous run (what sum() over an axis does), for runs of up
// to 128: eight running sums combined in a tree, then the remainder one by one.
double pairwise_sum(const double* a, int n) {
    if (n < 8) {
        double res = 0.;
        for (int i = 0; i < n; ++i) res += a[i];
        return res;
    }
    double r[8];
    for (int k = 0; k < 8; ++k) r[k] = a[k];
    int i = 8;
    for (; i < n - n % 8; i += 8)
        for (int k = 0; k < 8; ++k) r[k] += a[i + k];
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
}

struct Salts {
    uint64_t minute, at_high, at_low;
};

// The one-minute bars of one day.
struct DayMinutes {
    int64_t open[kMinutesPerDay];
    int64_t high[kMinutesPerDay];
    int64_t low[kMinutesPerDay];
    int64_t close[kMinutesPerDay];
    int64_t vol[kMinutesPerDay];
    double amount[kMinutesPerDay];
};

void day_minutes(const Salts& salts, const DayColumns& days, size_t i, DayMinutes& m) {
    const int64_t day = days.day[i];
    const double o = double(days.open[i]), h = double(days.high[i]);
    const double lo = double(days.low[i]), c = double(days.close[i]);
    // Minutes (of 0..238) at which the close touches the high and the low, never the same.
    const auto at_high = int64_t(uniform(salts.at_high, uint64_t(day)) * 239);
    auto at_low = int64_t(uniform(salts.at_low, uint64_t(day)) * 238);
    at_low += at_low >= at_high;
    const int64_t first = std::min(at_high, at_low), second = std::max(at_high, at_low);
    const double v1 = at_high < at_low ? h : lo, v2 = at_high < at_low ? lo : h;
    // The close runs straight through three stretches: open to the first touch, to the second,
    // to the close.
    struct Stretch {
        int64_t end, x0, span;
        double y0, rise;
    };
    const Stretch stretches[3] = {
        {first + 1, -1, std::max<int64_t>(first + 1, 1), o, v1 - o},
        {second + 1, first, std::max<int64_t>(second - first, 1), v1, v2 - v1},
        {kMinutesPerDay, second, std::max<int64_t>(kLast - second, 1), v2, c - v2},
    };
    const double scale = 0.35 * (h - lo);
    const int64_t ticks = int64_t(std::max(1.0, rint(c * 0.0006))) + 1;
    const uint64_t base = uint64_t(day * kMinutesPerDay);
    double weight[kMinutesPerDay];
    int64_t previous = days.open[i];
    int64_t j = 0;
    for (const Stretch& st : stretches) {
        const double span = double(st.span);
        for (; j < st.end; ++j) {
            const double s = double(j - st.x0) / span;
            const double bump = 4 * s * (1 - s);
            const uint64_t bits = draw(salts.minute, base + uint64_t(j));
            const double noise = scale * (part16(bits, 0) * (1 / 65536.0) - 0.5) * bump;
            const auto close =
                std::clamp(int64_t(rint(st.y0 + st.rise * s + noise)), days.low[i], days.high[i]);
            const int64_t up = (int64_t(part16(bits, 1)) * ticks) >> 16;
            const int64_t down = (int64_t(part16(bits, 2)) * ticks) >> 16;
            m.open[j] = previous;
            m.close[j] = close;
            m.high[j] = std::min(std::max(previous, close) + up, days.high[i]);
            m.low[j] = std::max(std::min(previous, close) - down, days.low[i]);
            weight[j] = 0.5 + part16(bits, 3) * (1 / 65536.0);
            previous = close;
        }
    }
    // The weights are multiples of 2^-16 below 1.5, so their sum is exact in any order.
    double total = 0;
    for (double w : weight) total += w;
    const int64_t vol = days.vol[i];
    const double v = double(vol), amount = days.amount[i];
    int64_t shared = 0;
    for (int k = 0; k < kMinutesPerDay; ++k) {
        m.vol[k] = floor_int(v * weight[k] / total);
        shared += m.vol[k];
    }
    m.vol[kLast] += vol - shared;
    for (int k = 0; k < kMinutesPerDay; ++k) m.amount[k] = amount * double(m.vol[k]) / v;
}

// Bars [from, to) of the day's `minutes`-minute bars, to out from `at` on.
void group(const DayMinutes& m, int minutes, size_t from, size_t to, const BarColumns& out,
           size_t at) {
    for (size_t b = from; b < to; ++b, ++at) {
        const int a = int(b) * minutes, z = a + minutes;
        int64_t high = m.high[a], low = m.low[a], vol = 0;
        for (int k = a; k < z; ++k) {
            high = std::max(high, m.high[k]);
            low = std::min(low, m.low[k]);
            vol += m.vol[k];
        }
        out.open[at] = m.open[a];
        out.high[at] = high;
        out.low[at] = low;
        out.close[at] = m.close[z - 1];
        out.vol[at] = vol;
        out.amount[at] = minutes == 1 ? m.amount[a] : pairwise_sum(m.amount + a, minutes);
    }
}

}  // namespace

Status intraday_bars(uint64_t key, const DayColumns& days, int minutes, size_t skip,
                     const BarColumns& out) {
    if (minutes != 1 && minutes != 5 && minutes != 15 && minutes != 30 && minutes != 60)
        return error(ErrorKind::Value,
                     "minutes must be 1, 5, 15, 30 or 60, not " + std::to_string(minutes));
    const size_t per_day = size_t(kMinutesPerDay / minutes);
    if (skip > days.size * per_day || out.size > days.size * per_day - skip)
        return error(ErrorKind::Value, "the days hold " + std::to_string(days.size * per_day) +
                                           " bars, fewer than " + std::to_string(skip) + " + " +
                                           std::to_string(out.size));
    const Salts salts{salt(key, 10), salt(key, 11), salt(key, 12)};
    DayMinutes m;
    for (size_t at = 0; at < out.size;) {
        const size_t i = (skip + at) / per_day, from = (skip + at) % per_day;
        const size_t to = std::min(per_day, from + (out.size - at));
        day_minutes(salts, days, i, m);
        group(m, minutes, from, to, out, at);
        at += to - from;
    }
    return {};
}

}  // namespace pelmora::sim
