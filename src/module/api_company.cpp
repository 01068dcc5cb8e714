#include "module/client.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/methods.hpp"
#include "module/pyref.hpp"
#include "module/records.hpp"
#include "protocol/company_info.hpp"

namespace pelmora::py {

PyObject* client_get_company_info_category(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.get_company_info_category()", {"market", "code"});
        MethodCall call(sig, args, nargs, kwnames);
        Bytes body;
        if (!call.ok() || !fetch_by_market_code(call, proto::company_info_category_request, body))
            return nullptr;
        std::vector<proto::CompanyInfoCategory> entries;
        proto::decode_company_info_category(body, entries);

        static const RecordShape shape{"name", "filename", "start", "length"};
        return new_list(entries.size(), [&](size_t i) {
            const proto::CompanyInfoCategory& e = entries[i];
            return shape.build([&](RecordWriter& w) {
                return w.add(utf8_str(e.name)) && w.add(utf8_str(e.filename)) &&
                       w.add(PyLong_FromUnsignedLong(e.start)) &&
                       w.add(PyLong_FromUnsignedLong(e.length));
            });
        });
    });
}

PyObject* client_get_company_info_content(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.get_company_info_content()",
                                   {"market", "code", "filename", "start", "length"});
        MethodCall call(sig, args, nargs, kwnames);
        if (!call.ok()) return nullptr;
        uint8_t market;
        std::string_view code, filename;
        uint32_t start, length;
        if (!arg_market_code(call, market, code) || !arg_text(call[2], "filename", filename) ||
            !arg_uint(call[3], "start", start) || !arg_uint(call[4], "length", length))
            return nullptr;
        Bytes body;
        if (!call.fetch(proto::company_info_content_request(market, code, filename, start, length),
                        body))
            return nullptr;
        std::string text;
        proto::decode_company_info_content(body, text);
        return utf8_str(text);
    });
}

}  // namespace pelmora::py
