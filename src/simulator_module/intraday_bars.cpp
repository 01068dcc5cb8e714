// intraday_bars: a page of the simulated market's intraday bars, written into columns the caller
// allocates.
#include <Python.h>

#include <array>
#include <cstdint>

#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "simulator/minute_kernel.hpp"
#include "simulator_module/column_buffer.hpp"
#include "simulator_module/methods.hpp"

namespace pelmora::py {

namespace {

constexpr auto I = ColumnType::Int64;
constexpr auto F = ColumnType::Float64;

PyObject* bars(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig("intraday_bars()", {"key", "days", "minutes", "skip", "out"});
    PyObject* a[5];
    if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
    uint64_t key;
    unsigned minutes;
    size_t skip;
    std::array<ColumnBuffer, 7> days;
    std::array<ColumnBuffer, 6> out;
    if (!arg_key(a[0], key) || !columns_of<7>(a[1], "days", {I, I, I, I, I, I, F}, false, days) ||
        !arg_uint(a[2], "minutes", minutes) || !arg_uint(a[3], "skip", skip) ||
        !columns_of<6>(a[4], "out", {I, I, I, I, I, F}, true, out))
        return nullptr;
    const sim::DayColumns in{days[0].data<int64_t>(), days[1].data<int64_t>(),
                             days[2].data<int64_t>(), days[3].data<int64_t>(),
                             days[4].data<int64_t>(), days[5].data<int64_t>(),
                             days[6].data<double>(),  days[0].size()};
    const sim::BarColumns to{out[0].data<int64_t>(), out[1].data<int64_t>(), out[2].data<int64_t>(),
                             out[3].data<int64_t>(), out[4].data<int64_t>(), out[5].data<double>(),
                             out[0].size()};
    Status status;
    Py_BEGIN_ALLOW_THREADS status = sim::intraday_bars(key, in, int(minutes), skip, to);
    Py_END_ALLOW_THREADS if (!check(status)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyObject* intraday_bars(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return guarded([&] { return bars(self, args, n, kw); });
}

}  // namespace pelmora::py
