// read_daily_bars and read_minute_bars: the whole records of a local file, one dict each.
#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/methods.hpp"
#include "module/pyref.hpp"
#include "module/records.hpp"
#include "reader/bars.hpp"
#include "reader/record_file.hpp"

namespace pelmora::py {

namespace {

// A new str of `size` ASCII characters, written in place by `write(char*)`.
template <class Write>
PyObject* ascii_text(size_t size, Write&& write) {
    PyObject* s = PyUnicode_New(Py_ssize_t(size), 127);
    if (s) write(static_cast<char*>(PyUnicode_DATA(s)));
    return s;
}

// One dict per record of `file`, in file order, in a list of exactly that length. The file's
// buffer is released by the caller after this returns, whatever the outcome.
template <class Fill>
PyObject* record_list(const reader::RecordFile& file, const RecordShape& shape, Fill&& fill) {
    const size_t n = file.count();
    PyRef list = PyRef::steal(PyList_New(Py_ssize_t(n)));
    if (!list) return nullptr;
    for (size_t i = 0; i < n; ++i) {
        PyObject* d = shape.new_dict();
        if (!d) return nullptr;
        // The list owns the dict from here, so a failure below releases it with the list.
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), d);
        if (!fill(d, file.record(i))) return nullptr;
    }
    return list.release();
}

}  // namespace

PyObject* read_daily_bars(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("read_daily_bars()", {"filepath", "price_coeff", "vol_coeff"},
                                   1);
        PyObject* bound[kMaxParams];
        if (!sig.bind(args, nargs, kwnames, bound)) return nullptr;
        std::string_view path;
        double price_coeff = 0.01, vol_coeff = 0.01;
        if (!arg_text(bound[0], "filepath", path) ||
            (bound[1] && !arg_double(bound[1], "price_coeff", price_coeff)) ||
            (bound[2] && !arg_double(bound[2], "vol_coeff", vol_coeff)))
            return nullptr;

        reader::RecordFile file;
        if (!check(reader::load_records(path, file))) return nullptr;

        static const RecordShape shape{"date", "open", "high", "low", "close", "amount", "volume"};
        return record_list(file, shape, [&](PyObject* d, const uint8_t* raw) {
            const reader::DailyRecord r = reader::decode_daily(raw);
            // One multiplication per value, of the exact double of the unsigned field.
            PyObject* date = ascii_text(reader::daily_date_size(r.date),
                                        [&](char* out) { reader::write_daily_date(r.date, out); });
            return put(d, shape.key(0), date) &&
                   put(d, shape.key(1), PyFloat_FromDouble(price_coeff * double(r.open))) &&
                   put(d, shape.key(2), PyFloat_FromDouble(price_coeff * double(r.high))) &&
                   put(d, shape.key(3), PyFloat_FromDouble(price_coeff * double(r.low))) &&
                   put(d, shape.key(4), PyFloat_FromDouble(price_coeff * double(r.close))) &&
                   put(d, shape.key(5), PyFloat_FromDouble(r.amount)) &&
                   put(d, shape.key(6), PyFloat_FromDouble(vol_coeff * double(r.volume)));
        });
    });
}

PyObject* read_minute_bars(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("read_minute_bars()", {"filepath"});
        PyObject* bound[kMaxParams];
        if (!sig.bind(args, nargs, kwnames, bound)) return nullptr;
        std::string_view path;
        if (!arg_text(bound[0], "filepath", path)) return nullptr;

        reader::RecordFile file;
        if (!check(reader::load_records(path, file))) return nullptr;

        static const RecordShape shape{"datetime", "open",   "high",  "low",
                                       "close",    "amount", "volume"};
        return record_list(file, shape, [&](PyObject* d, const uint8_t* raw) {
            const reader::MinuteRecord r = reader::decode_minute(raw);
            PyObject* datetime = ascii_text(reader::minute_datetime_size(r.time), [&](char* out) {
                reader::write_minute_datetime(r.date, r.time, out);
            });
            return put(d, shape.key(0), datetime) &&
                   put(d, shape.key(1), PyFloat_FromDouble(r.open)) &&
                   put(d, shape.key(2), PyFloat_FromDouble(r.high)) &&
                   put(d, shape.key(3), PyFloat_FromDouble(r.low)) &&
                   put(d, shape.key(4), PyFloat_FromDouble(r.close)) &&
                   put(d, shape.key(5), PyFloat_FromDouble(r.amount)) &&
                   put(d, shape.key(6), PyFloat_FromDouble(double(r.volume)));
        });
    });
}

}  // namespace pelmora::py
