// Runs the intraday kernel over random day bars, every period, and prints a hash of all it
// wrote: built once as is and once with -DPELMORA_SIM_BASELINE, the two must print the same.
//   minute_kernel_lanes SEED
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "simulator/minute_kernel.hpp"

namespace sim = pelmora::sim;

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::mt19937_64 rng(std::strtoull(argv[1], nullptr, 10));
    const size_t n = 300;
    std::vector<int64_t> day(n), open(n), high(n), low(n), close(n), vol(n);
    std::vector<double> amount(n);
    for (size_t i = 0; i < n; ++i) {
        day[i] = int64_t(i * 3 + rng() % 3);
        const int64_t level = 1 + int64_t(rng() % 2000000), spread = int64_t(rng() % 12);
        low[i] = level;
        high[i] = level + level * spread / 100;
        open[i] = low[i] + int64_t(rng() % uint64_t(high[i] - low[i] + 1));
        close[i] = low[i] + int64_t(rng() % uint64_t(high[i] - low[i] + 1));
        vol[i] = 1 + int64_t(rng() % 1000000000);
        amount[i] = double(vol[i]) * double(level) * (0.5 + double(rng() % 1000) / 999);
    }
    const sim::DayColumns days{day.data(),   open.data(), high.data(),   low.data(),
                               close.data(), vol.data(),  amount.data(), n};
    uint64_t hash = 14695981039346656037ULL;
    auto mix_in = [&](const void* p, size_t size) {
        for (size_t k = 0; k < size; ++k)
            hash = (hash ^ static_cast<const uint8_t*>(p)[k]) * 1099511628211ULL;
    };
    for (int minutes : {1, 5, 15, 30, 60}) {
        const size_t bars = n * size_t(240 / minutes);
        std::vector<int64_t> o(bars), h(bars), l(bars), c(bars), v(bars);
        std::vector<double> a(bars);
        const sim::BarColumns out{o.data(), h.data(), l.data(), c.data(), v.data(), a.data(), bars};
        if (!sim::intraday_bars(rng(), days, minutes, 0, out)) return 1;
        for (const auto* column : {&o, &h, &l, &c, &v}) mix_in(column->data(), bars * 8);
        mix_in(a.data(), bars * 8);
    }
    std::printf("%016llx\n", static_cast<unsigned long long>(hash));
    return 0;
}
