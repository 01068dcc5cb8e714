#include "core_module/client.hpp"
#include "core_module/methods.hpp"
#include "core_module/records.hpp"
#include "protocol/transactions.hpp"
#include "python/command.hpp"

namespace pelmora::py {

namespace {

using Tick = proto::TransactionRecord;

PyObject* tick_time(const Tick& r) {
    char text[kDateTimeCapacity];
    return ascii_str(text, format_time(text, r.minute_of_day / 60u, r.minute_of_day % 60u));
}

const auto kTime = field("time", tick_time);
const auto kPrice = field("price", [](const Tick& r) { return hundredths(r.price); });
const auto kVol = field("vol", [](const Tick& r) { return PyLong_FromLongLong(r.vol); });
const auto kNum = field("num", [](const Tick& r) { return PyLong_FromLongLong(r.num); });
const auto kBuyOrSell =
    field("buyorsell", [](const Tick& r) { return PyLong_FromLongLong(r.buyorsell); });

// Today's dicts carry "num"; history dicts do not.
PyObject* transaction_list(MethodCall& call, const Bytes& request, bool history) {
    Bytes body;
    if (!call.fetch(request, body)) return nullptr;
    auto list = [&](const auto& shape) {
        return decode_list_buffered<Tick>(
            shape, proto::transactions_bound(body.data(), body.size(), history), [&](auto& sink) {
                return proto::decode_transactions(body.data(), body.size(), history, sink);
            });
    };
    static const RecordShape today_shape(kTime, kPrice, kVol, kNum, kBuyOrSell);
    static const RecordShape history_shape(kTime, kPrice, kVol, kBuyOrSell);
    return history ? list(history_shape) : list(today_shape);
}

struct GetTransactionData {
    static constexpr const char* doc =
        "get_transaction_data($self, market, code, start, count)\n--\n\n";
    PyObject* operator()(MethodCall& call, uint8_t market, std::string_view code, uint16_t start,
                         uint16_t count) const {
        return transaction_list(call, proto::transaction_request(market, code, start, count),
                                false);
    }
};

struct GetHistoryTransactionData {
    static constexpr const char* doc =
        "get_history_transaction_data($self, market, code, start, count, date)\n--\n\n"
        "Get tick-level transaction data for a historical date.\n" PELMORA_DATE_DOC;
    PyObject* operator()(MethodCall& call, uint8_t market, std::string_view code, uint16_t start,
                         uint16_t count, uint32_t date) const {
        return transaction_list(
            call, proto::history_transaction_request(market, code, start, count, date), true);
    }
};

}  // namespace

std::span<const PyMethodDef> transaction_methods() {
    return method_defs<GetTransactionData, GetHistoryTransactionData>();
}

}  // namespace pelmora::py
