// day_ticks: the simulated market's ticks of one day, written into columns the caller allocates.
#include <Python.h>

#include <array>
#include <cstdint>

#include "module/binding.hpp"
#include "module/errors.hpp"
#include "simulator/minute_kernel.hpp"
#include "simulator/tick_kernel.hpp"
#include "simulator_module/column_buffer.hpp"
#include "simulator_module/methods.hpp"

namespace pelmora::py {

namespace {

constexpr auto I = ColumnType::Int64;

PyObject* ticks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig("day_ticks()", {"key", "day", "minutes", "out"});
    PyObject* a[4];
    if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
    uint64_t key;
    std::array<ColumnBuffer, 5> minutes;
    std::array<ColumnBuffer, 4> out;
    if (!arg_key(a[0], key)) return nullptr;
    const long long day = PyLong_AsLongLong(a[1]);
    if (day == -1 && PyErr_Occurred()) return raise(error(ErrorKind::Argument, "day"));
    if (!columns_of<5>(a[2], "minutes", {I, I, I, I, I}, false, minutes) ||
        !columns_of<4>(a[3], "out", {I, I, I, I}, true, out))
        return nullptr;
    if (minutes[0].size() != size_t(sim::kMinutesPerDay) ||
        out[0].size() != size_t(sim::kMinutesPerDay * sim::kTicksPerMinute))
        return raise(error(ErrorKind::Value, "a day has 240 minutes and 960 ticks"));
    const sim::MinuteColumns in{minutes[0].data<int64_t>(), minutes[1].data<int64_t>(),
                                minutes[2].data<int64_t>(), minutes[3].data<int64_t>(),
                                minutes[4].data<int64_t>()};
    const sim::TickColumns to{out[0].data<int64_t>(), out[1].data<int64_t>(),
                              out[2].data<int64_t>(), out[3].data<int64_t>()};
    Py_BEGIN_ALLOW_THREADS sim::day_ticks(key, int64_t(day), in, to);
    Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

}  // namespace

PyObject* day_ticks(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return guarded([&] { return ticks(self, args, n, kw); });
}

}  // namespace pelmora::py
