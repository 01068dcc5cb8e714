#include "core_module/client.hpp"
#include "core_module/methods.hpp"
#include "core_module/records.hpp"
#include "protocol/minute_time.hpp"
#include "python/command.hpp"

namespace pelmora::py {

namespace {

PyObject* minute_list(MethodCall& call, const Bytes& request, size_t header) {
    Bytes body;
    if (!call.fetch(request, body)) return nullptr;
    using R = proto::MinuteRecord;
    static const RecordShape shape(
        field("price", [](const R& r) { return hundredths(r.price); }),
        field("vol", [](const R& r) { return PyLong_FromLongLong(r.vol); }));
    return decode_list_buffered<R>(
        shape, proto::minute_time_bound(body.data(), body.size(), header), [&](auto& sink) {
            return proto::decode_minute_time(body.data(), body.size(), header, sink);
        });
}

struct GetMinuteTimeData {
    static constexpr const char* doc =
        "get_minute_time_data($self, market, code)\n--\n\n"
        "Get intraday minute-by-minute price/volume data for today.\n"
        "Returns list of dicts with keys: price, vol.";
    PyObject* operator()(MethodCall& call, uint8_t market, std::string_view code) const {
        return minute_list(call, proto::minute_time_request(market, code), proto::kMinuteHeader);
    }
};

struct GetHistoryMinuteTimeData {
    static constexpr const char* doc =
        "get_history_minute_time_data($self, market, code, date)\n--\n\n"
        "Get minute-by-minute price/volume data for a historical date.\n" PELMORA_DATE_DOC;
    PyObject* operator()(MethodCall& call, uint8_t market, std::string_view code,
                         uint32_t date) const {
        return minute_list(call, proto::history_minute_time_request(market, code, date),
                           proto::kHistoryMinuteHeader);
    }
};

}  // namespace

std::span<const PyMethodDef> minute_methods() {
    return method_defs<GetMinuteTimeData, GetHistoryMinuteTimeData>();
}

}  // namespace pelmora::py
