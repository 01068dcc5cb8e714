#include "core_module/client.hpp"
#include "core_module/methods.hpp"
#include "core_module/records.hpp"
#include "protocol/company_info.hpp"
#include "python/command.hpp"

namespace pelmora::py {

namespace {

struct GetCompanyInfoCategory {
    static constexpr const char* doc = "get_company_info_category($self, market, code)\n--\n\n";
    PyObject* operator()(MethodCall& call, uint8_t market, std::string_view code) const {
        Bytes body;
        if (!call.fetch(proto::company_info_category_request(market, code), body)) return nullptr;
        using R = proto::CompanyInfoCategory;
        static const RecordShape shape(
            field("name", [](const R& e) { return utf8_str(e.name); }),
            field("filename", [](const R& e) { return utf8_str(e.filename); }),
            field("start", [](const R& e) { return PyLong_FromUnsignedLong(e.start); }),
            field("length", [](const R& e) { return PyLong_FromUnsignedLong(e.length); }));
        return decode_list(
            shape, proto::company_info_category_bound(body.data(), body.size()), [&](auto& sink) {
                return proto::decode_company_info_category(body.data(), body.size(), sink);
            });
    }
};

struct GetCompanyInfoContent {
    static constexpr const char* doc =
        "get_company_info_content($self, market, code, filename, start, length)\n--\n\n";
    PyObject* operator()(MethodCall& call, uint8_t market, std::string_view code,
                         std::string_view filename, uint32_t start, uint32_t length) const {
        Bytes body;
        if (!call.fetch(proto::company_info_content_request(market, code, filename, start, length),
                        body))
            return nullptr;
        PyObject* text = nullptr;
        proto::decode_company_info_content(body.data(), body.size(), [&](std::string_view t) {
            text = utf8_str(t);
            return true;
        });
        return text;
    }
};

}  // namespace

std::span<const PyMethodDef> company_methods() {
    return method_defs<GetCompanyInfoCategory, GetCompanyInfoContent>();
}

}  // namespace pelmora::py
