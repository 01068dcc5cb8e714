#include "core_module/client.hpp"
#include "core_module/methods.hpp"
#include "core_module/records.hpp"
#include "protocol/quotes.hpp"
#include "python/command.hpp"

namespace pelmora::py {

namespace {

using Quote = proto::QuoteRecord;

PyObject* code_str(const Quote& r) {
    for (size_t i = 0; i < r.code_size; ++i)
        if (static_cast<unsigned char>(r.code[i]) >= 0x80) return utf8_str({r.code, r.code_size});
    return ascii_str(r.code, r.code_size);
}

// The four keys of order-book level K + 1.
template <size_t K>
auto level_fields() {
    static constexpr const char* keys[5][4] = {{"bid1", "ask1", "bid_vol1", "ask_vol1"},
                                               {"bid2", "ask2", "bid_vol2", "ask_vol2"},
                                               {"bid3", "ask3", "bid_vol3", "ask_vol3"},
                                               {"bid4", "ask4", "bid_vol4", "ask_vol4"},
                                               {"bid5", "ask5", "bid_vol5", "ask_vol5"}};
    return std::make_tuple(
        field(keys[K][0], [](const Quote& q) { return hundredths(q.levels[K].bid); }),
        field(keys[K][1], [](const Quote& q) { return hundredths(q.levels[K].ask); }),
        field(keys[K][2], [](const Quote& q) { return PyLong_FromLongLong(q.levels[K].bid_vol); }),
        field(keys[K][3], [](const Quote& q) { return PyLong_FromLongLong(q.levels[K].ask_vol); }));
}

PyObject* quotes_list(const Bytes& body) {
    static const RecordShape shape(std::tuple_cat(
        std::make_tuple(
            field("market", [](const Quote& q) { return PyLong_FromLong(q.market); }),
            field("code", code_str),
            field("price", [](const Quote& q) { return hundredths(q.price); }),
            field("last_close", [](const Quote& q) { return hundredths(q.last_close); }),
            field("open", [](const Quote& q) { return hundredths(q.open); }),
            field("high", [](const Quote& q) { return hundredths(q.high); }),
            field("low", [](const Quote& q) { return hundredths(q.low); }),
            field("servertime", [](const Quote& q) { return PyLong_FromLongLong(q.servertime); }),
            field("vol", [](const Quote& q) { return PyLong_FromLongLong(q.vol); }),
            field("cur_vol", [](const Quote& q) { return PyLong_FromLongLong(q.cur_vol); }),
            field("amount", [](const Quote& q) { return PyFloat_FromDouble(q.amount); }),
            field("s_vol", [](const Quote& q) { return PyLong_FromLongLong(q.s_vol); }),
            field("b_vol", [](const Quote& q) { return PyLong_FromLongLong(q.b_vol); })),
        level_fields<0>(), level_fields<1>(), level_fields<2>(), level_fields<3>(),
        level_fields<4>()));
    return decode_list_buffered<Quote>(
        shape, proto::quotes_bound(body.data(), body.size()),
        [&](auto& sink) { return proto::decode_quotes(body.data(), body.size(), sink); });
}

struct GetSecurityQuotes {
    static constexpr const char* doc = "get_security_quotes($self, stock_list)\n--\n\n";
    PyObject* operator()(MethodCall& call, const std::vector<MarketCode>& items) const {
        // Refused before the connection check: a list that does not fit is an argument error.
        Bytes request;
        if (!check(proto::quotes_request(items, request))) return nullptr;
        if (!call.connection()) return nullptr;
        if (items.empty()) return PyList_New(0);
        Bytes body;
        if (!call.fetch(request, body)) return nullptr;
        return quotes_list(body);
    }
};

}  // namespace

std::span<const PyMethodDef> quote_methods() {
    return method_defs<GetSecurityQuotes>();
}

}  // namespace pelmora::py
