#include "module/client.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/methods.hpp"
#include "module/pyref.hpp"
#include "module/records.hpp"
#include "protocol/transactions.hpp"

namespace pelmora::py {

namespace {

// Today's dicts carry "num"; history dicts do not.
PyObject* transaction_list(const Bytes& body, bool history) {
    const std::vector<proto::TransactionRecord> records = proto::decode_transactions(body, history);
    static const RecordShape today_shape{"time", "price", "vol", "num", "buyorsell"};
    static const RecordShape history_shape{"time", "price", "vol", "buyorsell"};
    const RecordShape& shape = history ? history_shape : today_shape;
    return new_list(records.size(), [&](size_t i) {
        const proto::TransactionRecord& r = records[i];
        return shape.build([&](RecordWriter& w) {
            char text[kDateTimeCapacity];
            size_t size = format_time(text, r.minute_of_day / 60u, r.minute_of_day % 60u);
            return w.add(ascii_str(text, size)) &&
                   w.add(PyFloat_FromDouble(double(r.price) / 100.0)) &&
                   w.add(PyLong_FromLongLong(r.vol)) &&
                   (history || w.add(PyLong_FromLongLong(r.num))) &&
                   w.add(PyLong_FromLongLong(r.buyorsell));
        });
    });
}

}  // namespace

PyObject* client_get_transaction_data(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.get_transaction_data()",
                                   {"market", "code", "start", "count"});
        MethodCall call(sig, args, nargs, kwnames);
        if (!call.ok()) return nullptr;
        uint8_t market;
        std::string_view code;
        uint16_t start, count;
        if (!arg_market_code(call, market, code) || !arg_uint(call[2], "start", start) ||
            !arg_uint(call[3], "count", count))
            return nullptr;
        Bytes body;
        if (!call.fetch(proto::transaction_request(market, code, start, count), body))
            return nullptr;
        return transaction_list(body, false);
    });
}

PyObject* client_get_history_transaction_data(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.get_history_transaction_data()",
                                   {"market", "code", "start", "count", "date"});
        MethodCall call(sig, args, nargs, kwnames);
        if (!call.ok()) return nullptr;
        uint8_t market;
        std::string_view code;
        uint16_t start, count;
        uint32_t date;
        if (!arg_market_code(call, market, code) || !arg_uint(call[2], "start", start) ||
            !arg_uint(call[3], "count", count) || !arg_uint(call[4], "date", date))
            return nullptr;
        Bytes body;
        if (!call.fetch(proto::history_transaction_request(market, code, start, count, date), body))
            return nullptr;
        return transaction_list(body, true);
    });
}

}  // namespace pelmora::py
