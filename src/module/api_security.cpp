#include "module/client.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/methods.hpp"
#include "module/pyref.hpp"
#include "module/records.hpp"
#include "protocol/security_list.hpp"

namespace pelmora::py {

PyObject* client_get_security_count(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.get_security_count()", {"market"});
        MethodCall call(sig, args, nargs, kwnames);
        if (!call.ok()) return nullptr;
        uint8_t market;
        if (!arg_uint(call[0], "market", market)) return nullptr;
        Bytes body;
        if (!call.fetch(proto::security_count_request(market), body)) return nullptr;
        uint16_t count;
        if (!check(proto::decode_security_count(body, count))) return nullptr;
        return PyLong_FromLong(count);
    });
}

PyObject* client_get_security_list(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.get_security_list()", {"market", "start"});
        MethodCall call(sig, args, nargs, kwnames);
        if (!call.ok()) return nullptr;
        uint8_t market;
        uint16_t start;
        if (!arg_uint(call[0], "market", market) || !arg_uint(call[1], "start", start))
            return nullptr;
        Bytes body;
        if (!call.fetch(proto::security_list_request(market, start), body)) return nullptr;
        std::vector<proto::SecurityRecord> records;
        if (!check(proto::decode_security_list(body, records))) return nullptr;

        static const RecordShape shape{"code", "volunit", "name", "decimal_point", "pre_close"};
        return new_list(records.size(), [&](size_t i) {
            const proto::SecurityRecord& r = records[i];
            return shape.build([&](RecordWriter& w) {
                return w.add(utf8_str(r.code)) && w.add(PyLong_FromLong(r.volunit)) &&
                       w.add(utf8_str(r.name)) && w.add(PyLong_FromLong(r.decimal_point)) &&
                       w.add(PyFloat_FromDouble(r.pre_close));
            });
        });
    });
}

}  // namespace pelmora::py
