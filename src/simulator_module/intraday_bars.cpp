// intraday_bars: a page of the simulated market's intraday bars, written into columns the caller
// allocates.
#include <Python.h>

#include <array>
#include <cstdint>

#include "python/command.hpp"
#include "python/errors.hpp"
#include "python/unlocked.hpp"
#include "simulator/minute_kernel.hpp"
#include "simulator_module/column_buffer.hpp"
#include "simulator_module/methods.hpp"

namespace pelmora::py {

namespace {

constexpr auto I = ColumnType::Int64;
constexpr auto F = ColumnType::Float64;

struct IntradayBars {
    static constexpr const char* doc =
        "intraday_bars(key, days, minutes, skip, out)\n--\n\n"
        "Writes bars [skip, skip + len(out[0])) of the `minutes`-minute bars (1, 5, 15, 30, 60) "
        "of a security's day bars `days` (day, open, high, low, close, vol, amount) into `out` "
        "(open, high, low, close, vol as int64, amount as float64); `key` is the security's noise "
        "key.";
    PyObject* operator()(NoiseKey key, PyObject* days_arg, unsigned minutes, size_t skip,
                         PyObject* out_arg) const {
        std::array<ColumnBuffer, 7> days;
        std::array<ColumnBuffer, 6> out;
        if (!columns_of<7>(days_arg, "days", {I, I, I, I, I, I, F}, false, days) ||
            !columns_of<6>(out_arg, "out", {I, I, I, I, I, F}, true, out))
            return nullptr;
        const sim::DayColumns in{days[0].data<int64_t>(), days[1].data<int64_t>(),
                                 days[2].data<int64_t>(), days[3].data<int64_t>(),
                                 days[4].data<int64_t>(), days[5].data<int64_t>(),
                                 days[6].data<double>(),  days[0].size()};
        const sim::BarColumns to{out[0].data<int64_t>(), out[1].data<int64_t>(),
                                 out[2].data<int64_t>(), out[3].data<int64_t>(),
                                 out[4].data<int64_t>(), out[5].data<double>(),
                                 out[0].size()};
        const Status status =
            without_lock([&] { return sim::intraday_bars(key.value, in, int(minutes), skip, to); });
        if (!check(status)) return nullptr;
        Py_RETURN_NONE;
    }
};

}  // namespace

PyMethodDef intraday_bars_def() {
    return method_def<IntradayBars>();
}

}  // namespace pelmora::py
