#include "simulator/minute_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>

#include "simulator/noise.hpp"

// Every floating-point step below is the numpy expression's, operand for operand and in its
// order: the target is built with -ffp-contract=off, so no fused multiply-add rounds once where
// numpy rounds twice.
namespace pelmora::sim {

namespace {

constexpr int kLast = kMinutesPerDay - 1;

// Prices and volumes beyond these are refused: below them every step is exact in doubles or
// rounds as numpy's does (rounding by adding 1.5 * 2^52 needs magnitudes below 2^51).
constexpr double kPriceLimit = 1099511627776.0;   // 2^40
constexpr double kVolLimit = 1125899906842624.0;  // 2^50

// Helpers taken whole into each instruction set's copy of the kernel (see Kernel below).
#define INLINE [[gnu::always_inline]] inline

// N lanes of doubles or of 64-bit words: four in AVX2 registers, two in SSE2 ones. Every lane
// operation rounds as its scalar form does, so the lanes give numpy's values.
using D4 = double __attribute__((vector_size(32)));
using U4 = uint64_t __attribute__((vector_size(32)));
using D2 = double __attribute__((vector_size(16)));
using U2 = uint64_t __attribute__((vector_size(16)));

template <int N>
struct Lanes {
    using D = std::conditional_t<N == 4, D4, D2>;
    using U = std::conditional_t<N == 4, U4, U2>;
    static constexpr int n = N;

    INLINE static D load(const double* p) {
        D v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    INLINE static U load(const uint64_t* p) {
        U v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    INLINE static void store(double* p, D v) { std::memcpy(p, &v, sizeof v); }
    INLINE static void store(uint64_t* p, U v) { std::memcpy(p, &v, sizeof v); }
    INLINE static D splat(double x) { return D{} + x; }
    INLINE static D iota() {
        D v;
        for (int k = 0; k < N; ++k) v[k] = k;
        return v;
    }
    INLINE static D min(D a, D b) { return a < b ? a : b; }
    INLINE static D max(D a, D b) { return a > b ? a : b; }
    // Lanes of whole numbers added up, which any order gives exactly.
    INLINE static double sum(D v) {
        double s = v[0];
        for (int k = 1; k < N; ++k) s += v[k];
        return s;
    }
    // np.rint, ties to even: past 1.5 * 2^52 no fraction bits are left, so the addition rounds.
    INLINE static D round_even(D x) {
        constexpr double kShift = 6755399441055744.0;
        return (x + kShift) - kShift;
    }
    // np.floor of non-negative values.
    INLINE static D floor_positive(D x) {
        const D r = round_even(x);
        return r > x ? r - 1 : r;
    }
    // The 16-bit part `i` of each word, as a double: written into the mantissa of 2^52, the
    // difference is the part exactly.
    INLINE static D part(U bits, int i) {
        const U biased = ((bits >> (16 * i)) & 0xFFFF) | 0x4330000000000000ULL;
        D d;
        std::memcpy(&d, &biased, sizeof d);
        return d - 4503599627370496.0;
    }
};

struct Salts {
    uint64_t minute, at_high, at_low;
};

// The one-minute bars of one day, in doubles (whole numbers but the amounts). `price` holds the
// day's open, then each minute's close: a minute opens at the price before its close.
struct DayMinutes {
    static constexpr int kCloses = 4;  // where the closes start: aligned for the widest lanes
    alignas(32) double price[kCloses + kMinutesPerDay];
    alignas(32) double high[kMinutesPerDay];
    alignas(32) double low[kMinutesPerDay];
    alignas(32) double vol[kMinutesPerDay];
    alignas(32) double amount[kMinutesPerDay];
    double* opens() { return price + kCloses - 1; }
    double* closes() { return price + kCloses; }
    double open(int j) const { return price[kCloses - 1 + j]; }
    double close(int j) const { return price[kCloses + j]; }
};

bool in_range(const DayColumns& days, size_t i) {
    const int64_t prices[] = {days.open[i], days.high[i], days.low[i], days.close[i]};
    for (int64_t p : prices)
        if (std::fabs(double(p)) >= kPriceLimit) return false;
    return days.vol[i] >= 1 && double(days.vol[i]) < kVolLimit;
}

template <class L>
struct Kernel {
    using D = typename L::D;
    using U = typename L::U;
    static constexpr int N = L::n;

    // numpy's pairwise summation of a contiguous run (what sum() over an axis does), for runs
    // of up to 128: eight running sums combined in a tree, then the rest one by one.
    INLINE static double pairwise_sum(const double* a, int n) {
        if (n < 8) {
            double res = 0.;
            for (int i = 0; i < n; ++i) res += a[i];
            return res;
        }
        D r[8 / N];
        for (int q = 0; q < 8 / N; ++q) r[q] = L::load(a + q * N);
        int i = 8;
        for (; i < n - n % 8; i += 8)
            for (int q = 0; q < 8 / N; ++q) r[q] += L::load(a + i + q * N);
        double s[8];
        std::memcpy(s, r, sizeof s);
        double res = ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }

    INLINE static void day_minutes(const Salts& salts, const DayColumns& days, size_t i,
                                   DayMinutes& m) {
        const int64_t day = days.day[i];
        const double o = double(days.open[i]), h = double(days.high[i]);
        const double lo = double(days.low[i]), c = double(days.close[i]);
        // Minutes (of 0..238) at which the close touches the high and the low, never the same.
        const auto at_high = int64_t(uniform(salts.at_high, uint64_t(day)) * 239);
        auto at_low = int64_t(uniform(salts.at_low, uint64_t(day)) * 238);
        at_low += at_low >= at_high;
        const double first = double(std::min(at_high, at_low));
        const double second = double(std::max(at_high, at_low));
        const double v1 = at_high < at_low ? h : lo, v2 = at_high < at_low ? lo : h;
        // The close runs straight through three stretches: open to the first touch, to the
        // second, to the close. Per stretch: the minute before it, its length, its start and
        // its rise.
        const double x0[3] = {-1, first, second};
        const double span[3] = {std::max(first + 1, 1.0), std::max(second - first, 1.0),
                                std::max(kLast - second, 1.0)};
        const double y0[3] = {o, v1, v2}, rise[3] = {v1 - o, v2 - v1, c - v2};
        const double scale = 0.35 * (h - lo);
        const double ticks = std::max(1.0, L::round_even(L::splat(c * 0.0006))[0]) + 1;

        alignas(32) uint64_t bits[kMinutesPerDay];
        U at;
        for (int k = 0; k < N; ++k)
            at[k] = uint64_t(day * kMinutesPerDay + k) * kGolden + salts.minute;
        for (int j = 0; j < kMinutesPerDay; j += N) {
            L::store(bits + j, mix_lanes(at));
            at += N * kGolden;
        }
        m.opens()[0] = o;
        D weights{};
        alignas(32) double weight[kMinutesPerDay];
        for (int j = 0; j < kMinutesPerDay; j += N) {
            const U b = L::load(bits + j);
            const D minute = L::iota() + double(j);
            const auto after1 = minute > first, after2 = minute > second;
            auto pick = [&](const double(&v)[3]) {
                return after2 ? L::splat(v[2]) : after1 ? L::splat(v[1]) : L::splat(v[0]);
            };
            const D s = (minute - pick(x0)) / pick(span);
            const D bump = 4 * s * (1 - s);
            const D noise = scale * (L::part(b, 0) * (1 / 65536.0) - 0.5) * bump;
            const D close = L::round_even(pick(y0) + pick(rise) * s + noise);
            L::store(m.closes() + j, L::min(L::max(close, L::splat(lo)), L::splat(h)));
            const D w = 0.5 + L::part(b, 3) * (1 / 65536.0);
            L::store(weight + j, w);
            weights += w;
        }
        // The weights are multiples of 2^-16 below 1.5, so their sum is exact in any order.
        const double total = L::sum(weights);
        // Each minute trades at its own mean price, (open + high + low + close) / 4, at the
        // day's money per lot and tick: its amount over its volume lies within its range.
        const double v = double(days.vol[i]);
        const double per = days.amount[i] / (v * ((o + h + lo + c) / 4));
        D shared{};
        for (int j = 0; j < kMinutesPerDay; j += N) {
            const U b = L::load(bits + j);
            // (bits * ticks) >> 16 in numpy's integers: exact in doubles, then floored.
            const D up = L::floor_positive(L::part(b, 1) * ticks * (1 / 65536.0));
            const D down = L::floor_positive(L::part(b, 2) * ticks * (1 / 65536.0));
            const D open = L::load(m.opens() + j), close = L::load(m.closes() + j);
            L::store(m.high + j, L::min(L::max(open, close) + up, L::splat(h)));
            L::store(m.low + j, L::max(L::min(open, close) - down, L::splat(lo)));
            const D vol = L::floor_positive(v * L::load(weight + j) / total);
            L::store(m.vol + j, vol);
            const D mean = (open + L::load(m.high + j) + L::load(m.low + j) + close) / 4;
            L::store(m.amount + j, vol * mean * per);
            shared += vol;
        }
        m.vol[kLast] += v - L::sum(shared);
        const double mean = (m.open(kLast) + m.high[kLast] + m.low[kLast] + m.close(kLast)) / 4;
        m.amount[kLast] = m.vol[kLast] * mean * per;
    }

    // mix() of noise.hpp, lane by lane.
    INLINE static U mix_lanes(U x) {
        x ^= x >> 30;
        x *= 0xBF58476D1CE4E5B9ULL;
        x ^= x >> 27;
        x *= 0x94D049BB133111EBULL;
        return x ^ (x >> 31);
    }

    // Bars [from, to) of the day's `minutes`-minute bars, to out from `at` on. Highs, lows and
    // volumes (whole numbers below 2^53) come out the same in any order, so lanes take them.
    INLINE static void group(const DayMinutes& m, int minutes, size_t from, size_t to,
                             const BarColumns& out, size_t at) {
        for (size_t b = from; b < to; ++b, ++at) {
            const int a = int(b) * minutes, z = a + minutes;
            D high = L::splat(m.high[a]), low = L::splat(m.low[a]), vol{};
            int k = a;
            for (; k + N <= z; k += N) {
                high = L::max(high, L::load(m.high + k));
                low = L::min(low, L::load(m.low + k));
                vol += L::load(m.vol + k);
            }
            for (; k < z; ++k) {
                high[0] = std::max(high[0], m.high[k]);
                low[0] = std::min(low[0], m.low[k]);
                vol[0] += m.vol[k];
            }
            double top = high[0], bottom = low[0];
            for (int q = 1; q < N; ++q) {
                top = std::max(top, high[q]);
                bottom = std::min(bottom, low[q]);
            }
            out.open[at] = int64_t(m.open(a));
            out.high[at] = int64_t(top);
            out.low[at] = int64_t(bottom);
            out.close[at] = int64_t(m.close(z - 1));
            out.vol[at] = int64_t(L::sum(vol));
            out.amount[at] = minutes == 1 ? m.amount[a] : pairwise_sum(m.amount + a, minutes);
        }
    }

    // Bars [skip, skip + out.size) of the days, a day at a time.
    INLINE static Status run(const Salts& salts, const DayColumns& days, int minutes, size_t skip,
                             const BarColumns& out) {
        const size_t per_day = size_t(kMinutesPerDay / minutes);
        DayMinutes m;
        for (size_t at = 0; at < out.size;) {
            const size_t i = (skip + at) / per_day, from = (skip + at) % per_day;
            const size_t to = std::min(per_day, from + (out.size - at));
            if (!in_range(days, i))
                return error(ErrorKind::Value, "day bar " + std::to_string(i) +
                                                   " lies beyond the simulated prices and volumes");
            day_minutes(salts, days, i, m);
            group(m, minutes, from, to, out, at);
            at += to - from;
        }
        return {};
    }
};

// The kernel for the processor: four lanes where it has AVX2, else two.
[[gnu::target("avx2")]] Status run_avx2(const Salts& salts, const DayColumns& days, int minutes,
                                        size_t skip, const BarColumns& out) {
    return Kernel<Lanes<4>>::run(salts, days, minutes, skip, out);
}

Status run_sse2(const Salts& salts, const DayColumns& days, int minutes, size_t skip,
                const BarColumns& out) {
    return Kernel<Lanes<2>>::run(salts, days, minutes, skip, out);
}

bool has_avx2() {
#ifdef PELMORA_SIM_BASELINE  // builds the baseline alone, to compare the two
    return false;
#else
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
#endif
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
    return has_avx2() ? run_avx2(salts, days, minutes, skip, out)
                      : run_sse2(salts, days, minutes, skip, out);
}

}  // namespace pelmora::sim
