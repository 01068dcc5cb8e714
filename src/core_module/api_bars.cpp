#include "core_module/client.hpp"
#include "core_module/methods.hpp"
#include "core_module/records.hpp"
#include "protocol/bars.hpp"
#include "python/command.hpp"

namespace pelmora::py {

namespace {

using Bar = proto::BarRecord;

PyObject* bar_datetime(const Bar& b) {
    const proto::BarDateTime& t = b.when;
    char text[kDateTimeCapacity];
    return ascii_str(text, format_datetime(text, t.year, t.month, t.day, t.hour, t.minute));
}

// The keys of security bars; index bars add two.
const auto kBarFields =
    std::make_tuple(field("datetime", bar_datetime),
                    field("open", [](const Bar& b) { return thousandths(b.open); }),
                    field("high", [](const Bar& b) { return thousandths(b.high); }),
                    field("low", [](const Bar& b) { return thousandths(b.low); }),
                    field("close", [](const Bar& b) { return thousandths(b.close); }),
                    field("vol", [](const Bar& b) { return PyFloat_FromDouble(b.vol); }),
                    field("amount", [](const Bar& b) { return PyFloat_FromDouble(b.amount); }));

// Both methods send the same request; index bars read a longer tail with two more keys.
PyObject* get_bars(MethodCall& call, bool index, uint16_t category, uint8_t market,
                   std::string_view code, uint16_t start, uint16_t count) {
    Bytes body;
    if (!call.fetch(proto::bars_request(category, market, code, start, count), body))
        return nullptr;
    auto list = [&](const auto& shape) {
        return decode_list_buffered<Bar>(
            shape, proto::bars_bound(body.data(), body.size(), index), [&](auto& sink) {
                return proto::decode_bars(body.data(), body.size(), category, index, sink);
            });
    };
    static const RecordShape security_shape(kBarFields);
    static const RecordShape index_shape(std::tuple_cat(
        kBarFields,
        std::make_tuple(
            field("up_count", [](const Bar& b) { return PyLong_FromLong(b.up_count); }),
            field("down_count", [](const Bar& b) { return PyLong_FromLong(b.down_count); }))));
    return index ? list(index_shape) : list(security_shape);
}

struct GetSecurityBars {
    static constexpr const char* doc =
        "get_security_bars($self, category, market, code, start, count)\n--\n\n"
        "category: 0..11, market: 0/1, code: \"600036\", start: offset, count: num";
    PyObject* operator()(MethodCall& call, uint16_t category, uint8_t market, std::string_view code,
                         uint16_t start, uint16_t count) const {
        return get_bars(call, false, category, market, code, start, count);
    }
};

struct GetIndexBars {
    static constexpr const char* doc =
        "get_index_bars($self, category, market, code, start, count)\n--\n\n"
        "Get index K-line bars. Same protocol as security bars (0x052D) but response\n"
        "includes up_count/down_count fields (number of advancing/declining stocks).";
    PyObject* operator()(MethodCall& call, uint16_t category, uint8_t market, std::string_view code,
                         uint16_t start, uint16_t count) const {
        return get_bars(call, true, category, market, code, start, count);
    }
};

}  // namespace

std::span<const PyMethodDef> bar_methods() {
    return method_defs<GetSecurityBars, GetIndexBars>();
}

}  // namespace pelmora::py
