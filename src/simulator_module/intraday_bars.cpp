// intraday_bars: a page of the simulated market's intraday bars, written into columns the caller
// allocates.
#include <Python.h>

#include <array>
#include <cstdint>
#include <string>

#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/pyref.hpp"
#include "simulator/minute_kernel.hpp"
#include "simulator_module/column_buffer.hpp"

namespace pelmora::py {

namespace {

bool fail(const Error& e) {
    raise(e);
    return false;
}

// The columns of a sequence of exactly N buffers, named "<param>[i]" in messages.
template <size_t N>
bool columns_of(PyObject* seq, const char* param, const std::array<ColumnType, N>& types,
                bool writable, std::array<ColumnBuffer, N>& out) {
    PyRef items = PyRef::steal(PySequence_Fast(seq, "expected a sequence of arrays"));
    if (!items) return fail(error(ErrorKind::Argument, param));
    if (size_t(PySequence_Fast_GET_SIZE(items.get())) != N)
        return fail(error(ErrorKind::Value,
                          std::string(param) + " must hold " + std::to_string(N) + " columns"));
    for (size_t i = 0; i < N; ++i) {
        const std::string what = std::string(param) + "[" + std::to_string(i) + "]";
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), Py_ssize_t(i));
        if (!out[i].acquire(item, types[i], writable, what.c_str())) return false;
        if (out[i].size() != out[0].size())
            return fail(error(ErrorKind::Value,
                              "the columns of " + std::string(param) + " differ in length"));
    }
    return true;
}

bool arg_key(PyObject* obj, uint64_t& out) {
    if (!PyLong_Check(obj)) {
        raise_cannot_cast(obj, "int");
        return fail(error(ErrorKind::Argument, "key"));
    }
    out = PyLong_AsUnsignedLongLong(obj);
    return !(out == uint64_t(-1) && PyErr_Occurred());
}

constexpr auto I = ColumnType::Int64;
constexpr auto F = ColumnType::Float64;

PyObject* intraday_bars(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
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

PyObject* guarded_bars(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return guarded([&] { return intraday_bars(self, args, n, kw); });
}

}  // namespace

PyMethodDef kIntradayMethods[] = {
    {"intraday_bars", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_bars)),
     METH_FASTCALL | METH_KEYWORDS,
     "intraday_bars(key, days, minutes, skip, out)\n--\n\n"
     "Writes bars [skip, skip + len(out[0])) of the `minutes`-minute bars (1, 5, 15, 30, 60) "
     "of a security's day bars `days` (day, open, high, low, close, vol, amount) into `out` "
     "(open, high, low, close, vol as int64, amount as float64); `key` is the security's noise "
     "key."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace pelmora::py
