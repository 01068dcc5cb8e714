#include "module/client.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/methods.hpp"
#include "module/pyref.hpp"
#include "module/records.hpp"
#include "protocol/quotes.hpp"

namespace pelmora::py {

namespace {

PyObject* code_str(const proto::QuoteRecord& r) {
    for (size_t i = 0; i < r.code_size; ++i)
        if (static_cast<unsigned char>(r.code[i]) >= 0x80) return utf8_str({r.code, r.code_size});
    return ascii_str(r.code, r.code_size);
}

PyObject* price(int64_t hundredths) { return PyFloat_FromDouble(double(hundredths) / 100.0); }

PyObject* quotes_list(const net::Bytes& body) {
    const std::vector<proto::QuoteRecord> quotes = proto::decode_quotes(body);

    static const RecordShape shape{
        "market", "code", "price", "last_close", "open", "high", "low", "servertime", "vol",
        "cur_vol", "amount", "s_vol", "b_vol",
        "bid1", "ask1", "bid_vol1", "ask_vol1", "bid2", "ask2", "bid_vol2", "ask_vol2",
        "bid3", "ask3", "bid_vol3", "ask_vol3", "bid4", "ask4", "bid_vol4", "ask_vol4",
        "bid5", "ask5", "bid_vol5", "ask_vol5"};
    PyRef list = PyRef::steal(PyList_New(Py_ssize_t(quotes.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < quotes.size(); ++i) {
        const proto::QuoteRecord& q = quotes[i];
        PyObject* d = shape.new_dict();
        if (!d) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), d);
        if (!put(d, shape.key(0), PyLong_FromLong(q.market)) ||
            !put(d, shape.key(1), code_str(q)) ||
            !put(d, shape.key(2), price(q.price)) ||
            !put(d, shape.key(3), price(q.last_close)) ||
            !put(d, shape.key(4), price(q.open)) ||
            !put(d, shape.key(5), price(q.high)) ||
            !put(d, shape.key(6), price(q.low)) ||
            !put(d, shape.key(7), PyLong_FromLongLong(q.servertime)) ||
            !put(d, shape.key(8), PyLong_FromLongLong(q.vol)) ||
            !put(d, shape.key(9), PyLong_FromLongLong(q.cur_vol)) ||
            !put(d, shape.key(10), PyFloat_FromDouble(q.amount)) ||
            !put(d, shape.key(11), PyLong_FromLongLong(q.s_vol)) ||
            !put(d, shape.key(12), PyLong_FromLongLong(q.b_vol)))
            return nullptr;
        size_t k = 13;
        for (const proto::QuoteLevel& level : q.levels) {
            if (!put(d, shape.key(k), price(level.bid)) ||
                !put(d, shape.key(k + 1), price(level.ask)) ||
                !put(d, shape.key(k + 2), PyLong_FromLongLong(level.bid_vol)) ||
                !put(d, shape.key(k + 3), PyLong_FromLongLong(level.ask_vol)))
                return nullptr;
            k += 4;
        }
    }
    return list.release();
}

}  // namespace

PyObject* client_get_security_quotes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.get_security_quotes()", {"stock_list"});
        MethodCall call(sig, args, nargs, kwnames);
        if (!call.ok()) return nullptr;
        std::vector<MarketCode> items;
        if (!arg_market_codes(call[0], "stock_list", items)) return nullptr;
        // Refused before the connection check: a list that does not fit is an argument error.
        net::Bytes request;
        if (!check(proto::quotes_request(items, request))) return nullptr;
        if (!call.connection()) return nullptr;
        if (items.empty()) return PyList_New(0);
        net::Bytes body;
        if (!call.fetch(request, body)) return nullptr;
        return quotes_list(body);
    });
}

}  // namespace pelmora::py
