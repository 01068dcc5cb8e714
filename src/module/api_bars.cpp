#include "module/client.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/methods.hpp"
#include "module/pyref.hpp"
#include "module/records.hpp"
#include "protocol/bars.hpp"

namespace pelmora::py {

namespace {

// The list of bar dicts of a body; index bars read a longer tail with two more keys.
PyObject* bars_list(const Bytes& body, uint16_t category, bool index) {
    const std::vector<proto::BarRecord> bars = proto::decode_bars(body, category, index);
    static const RecordShape security_shape{"datetime", "open", "high",  "low",
                                            "close",    "vol",  "amount"};
    static const RecordShape index_shape{"datetime", "open",   "high",     "low",       "close",
                                         "vol",      "amount", "up_count", "down_count"};
    const RecordShape& shape = index ? index_shape : security_shape;
    return new_list(bars.size(), [&](size_t i) {
        const proto::BarRecord& b = bars[i];
        return shape.build([&](RecordWriter& w) {
            const proto::BarDateTime& t = b.when;
            char text[kDateTimeCapacity];
            size_t size = format_datetime(text, t.year, t.month, t.day, t.hour, t.minute);
            return w.add(ascii_str(text, size)) &&
                   w.add(PyFloat_FromDouble(double(b.open) / 1000.0)) &&
                   w.add(PyFloat_FromDouble(double(b.high) / 1000.0)) &&
                   w.add(PyFloat_FromDouble(double(b.low) / 1000.0)) &&
                   w.add(PyFloat_FromDouble(double(b.close) / 1000.0)) &&
                   w.add(PyFloat_FromDouble(b.vol)) && w.add(PyFloat_FromDouble(b.amount)) &&
                   (!index ||
                    (w.add(PyLong_FromLong(b.up_count)) && w.add(PyLong_FromLong(b.down_count))));
        });
    });
}

// Both methods send the same request and differ only in the decoding.
PyObject* get_bars(const Signature& sig, bool index, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
    MethodCall call(sig, args, nargs, kwnames);
    if (!call.ok()) return nullptr;
    uint16_t category, start, count;
    uint8_t market;
    std::string_view code;
    if (!arg_uint(call[0], "category", category) || !arg_uint(call[1], "market", market) ||
        !arg_text(call[2], "code", code) || !arg_uint(call[3], "start", start) ||
        !arg_uint(call[4], "count", count))
        return nullptr;
    Bytes body;
    if (!call.fetch(proto::bars_request(category, market, code, start, count), body))
        return nullptr;
    return bars_list(body, category, index);
}

}  // namespace

PyObject* client_get_security_bars(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.get_security_bars()",
                                   {"category", "market", "code", "start", "count"});
        return get_bars(sig, false, args, nargs, kwnames);
    });
}

PyObject* client_get_index_bars(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.get_index_bars()",
                                   {"category", "market", "code", "start", "count"});
        return get_bars(sig, true, args, nargs, kwnames);
    });
}

}  // namespace pelmora::py
