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

PyObject* price(int64_t hundredths) {
    return PyFloat_FromDouble(double(hundredths) / 100.0);
}

PyObject* quotes_list(const Bytes& body) {
    const std::vector<proto::QuoteRecord> quotes = proto::decode_quotes(body);

    static const RecordShape shape{
        "market",     "code",     "price",    "last_close", "open",    "high",     "low",
        "servertime", "vol",      "cur_vol",  "amount",     "s_vol",   "b_vol",    "bid1",
        "ask1",       "bid_vol1", "ask_vol1", "bid2",       "ask2",    "bid_vol2", "ask_vol2",
        "bid3",       "ask3",     "bid_vol3", "ask_vol3",   "bid4",    "ask4",     "bid_vol4",
        "ask_vol4",   "bid5",     "ask5",     "bid_vol5",   "ask_vol5"};
    return new_list(quotes.size(), [&](size_t i) {
        const proto::QuoteRecord& q = quotes[i];
        return shape.build([&](RecordWriter& w) {
            if (!(w.add(PyLong_FromLong(q.market)) && w.add(code_str(q)) && w.add(price(q.price)) &&
                  w.add(price(q.last_close)) && w.add(price(q.open)) && w.add(price(q.high)) &&
                  w.add(price(q.low)) && w.add(PyLong_FromLongLong(q.servertime)) &&
                  w.add(PyLong_FromLongLong(q.vol)) && w.add(PyLong_FromLongLong(q.cur_vol)) &&
                  w.add(PyFloat_FromDouble(q.amount)) && w.add(PyLong_FromLongLong(q.s_vol)) &&
                  w.add(PyLong_FromLongLong(q.b_vol))))
                return false;
            for (const proto::QuoteLevel& level : q.levels)
                if (!(w.add(price(level.bid)) && w.add(price(level.ask)) &&
                      w.add(PyLong_FromLongLong(level.bid_vol)) &&
                      w.add(PyLong_FromLongLong(level.ask_vol))))
                    return false;
            return true;
        });
    });
}

}  // namespace

PyObject* client_get_security_quotes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.get_security_quotes()", {"stock_list"});
        MethodCall call(sig, args, nargs, kwnames);
        if (!call.ok()) return nullptr;
        std::vector<MarketCode> items;
        if (!arg_market_codes(call[0], "stock_list", items)) return nullptr;
        // Refused before the connection check: a list that does not fit is an argument error.
        Bytes request;
        if (!check(proto::quotes_request(items, request))) return nullptr;
        if (!call.connection()) return nullptr;
        if (items.empty()) return PyList_New(0);
        Bytes body;
        if (!call.fetch(request, body)) return nullptr;
        return quotes_list(body);
    });
}

}  // namespace pelmora::py
