#include "core_module/client.hpp"
#include "core_module/methods.hpp"
#include "core_module/records.hpp"
#include "protocol/security_list.hpp"
#include "python/command.hpp"

namespace pelmora::py {

namespace {

struct GetSecurityCount {
    static constexpr const char* doc =
        "get_security_count($self, market)\n--\n\n"
        "Get the total number of securities for a given market.\n" PELMORA_MARKET_DOC
        "Returns the total count of securities.";
    PyObject* operator()(MethodCall& call, uint8_t market) const {
        Bytes body;
        if (!call.fetch(proto::security_count_request(market), body) ||
            !check(proto::check_security_count(body.size())))
            return nullptr;
        PyObject* count = nullptr;
        proto::decode_security_count(body.data(), body.size(), [&](uint16_t n) {
            count = PyLong_FromLong(n);
            return true;
        });
        return count;
    }
};

struct GetSecurityList {
    static constexpr const char* doc =
        "get_security_list($self, market, start)\n--\n\n"
        "Get a batch of securities for a given market, starting from `start`.\n" PELMORA_MARKET_DOC
        "start: offset (typically 0, 1000, 2000, ...)\n"
        "Returns a list of dicts with keys: code, name, volunit, decimal_point, pre_close.";
    PyObject* operator()(MethodCall& call, uint8_t market, uint16_t start) const {
        Bytes body;
        if (!call.fetch(proto::security_list_request(market, start), body) ||
            !check(proto::check_security_list(body.size())))
            return nullptr;
        using R = proto::SecurityRecord;
        static const RecordShape shape(
            field("code", [](const R& r) { return utf8_str(r.code); }),
            field("volunit", [](const R& r) { return PyLong_FromLong(r.volunit); }),
            field("name", [](const R& r) { return utf8_str(r.name); }),
            field("decimal_point", [](const R& r) { return PyLong_FromLong(r.decimal_point); }),
            field("pre_close", [](const R& r) { return PyFloat_FromDouble(r.pre_close); }));
        return decode_list(shape, proto::security_list_bound(body.data(), body.size()),
                           [&](auto& sink) {
                               return proto::decode_security_list(body.data(), body.size(), sink);
                           });
    }
};

}  // namespace

std::span<const PyMethodDef> security_methods() {
    return method_defs<GetSecurityCount, GetSecurityList>();
}

}  // namespace pelmora::py
