// day_ticks: the simulated market's ticks of one day, written into columns the caller allocates.
#include <Python.h>

#include <array>
#include <cstdint>

#include "python/command.hpp"
#include "python/errors.hpp"
#include "python/unlocked.hpp"
#include "simulator/minute_kernel.hpp"
#include "simulator/tick_kernel.hpp"
#include "simulator_module/column_buffer.hpp"
#include "simulator_module/methods.hpp"

namespace pelmora::py {

namespace {

constexpr auto I = ColumnType::Int64;

struct DayTicks {
    static constexpr const char* doc =
        "day_ticks(key, day, minutes, out)\n--\n\n"
        "Writes the 960 ticks of calendar day `day` into `out` (price, vol, num, side, int64) "
        "from its 240 one-minute bars `minutes` (open, high, low, close, vol, int64); `key` is the "
        "security's noise key.";
    PyObject* operator()(NoiseKey key, int64_t day, PyObject* minutes_arg,
                         PyObject* out_arg) const {
        std::array<ColumnBuffer, 5> minutes;
        std::array<ColumnBuffer, 4> out;
        if (!columns_of<5>(minutes_arg, "minutes", {I, I, I, I, I}, false, minutes) ||
            !columns_of<4>(out_arg, "out", {I, I, I, I}, true, out))
            return nullptr;
        if (minutes[0].size() != size_t(sim::kMinutesPerDay) ||
            out[0].size() != size_t(sim::kMinutesPerDay * sim::kTicksPerMinute))
            return invalid_argument("a day has 240 minutes and 960 ticks");
        const sim::MinuteColumns in{minutes[0].data<int64_t>(), minutes[1].data<int64_t>(),
                                    minutes[2].data<int64_t>(), minutes[3].data<int64_t>(),
                                    minutes[4].data<int64_t>()};
        const sim::TickColumns to{out[0].data<int64_t>(), out[1].data<int64_t>(),
                                  out[2].data<int64_t>(), out[3].data<int64_t>()};
        without_lock([&] { sim::day_ticks(key.value, day, in, to); });
        Py_RETURN_NONE;
    }
};

}  // namespace

PyMethodDef day_ticks_def() {
    return method_def<DayTicks>();
}

}  // namespace pelmora::py
