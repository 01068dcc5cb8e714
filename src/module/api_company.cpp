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
        if (!call.ok()) return nullptr;
        uint8_t market;
        std::string_view code;
        if (!arg_uint(call[0], "market", market) || !arg_text(call[1], "code", code)) return nullptr;
        net::Bytes body;
        if (!call.fetch(proto::company_info_category_request(market, code), body)) return nullptr;
        std::vector<proto::CompanyInfoCategory> entries;
        proto::decode_company_info_category(body, entries);

        static const RecordShape shape{"name", "filename", "start", "length"};
        PyRef list = PyRef::steal(PyList_New(Py_ssize_t(entries.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < entries.size(); ++i) {
            const proto::CompanyInfoCategory& e = entries[i];
            PyObject* d = shape.new_dict();
            if (!d) return nullptr;
            PyList_SET_ITEM(list.get(), Py_ssize_t(i), d);
            if (!put(d, shape.key(0), utf8_str(e.name)) ||
                !put(d, shape.key(1), utf8_str(e.filename)) ||
                !put(d, shape.key(2), PyLong_FromUnsignedLong(e.start)) ||
                !put(d, shape.key(3), PyLong_FromUnsignedLong(e.length)))
                return nullptr;
        }
        return list.release();
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
        if (!arg_uint(call[0], "market", market) || !arg_text(call[1], "code", code) ||
            !arg_text(call[2], "filename", filename) || !arg_uint(call[3], "start", start) ||
            !arg_uint(call[4], "length", length))
            return nullptr;
        net::Bytes body;
        if (!call.fetch(proto::company_info_content_request(market, code, filename, start, length), body))
            return nullptr;
        std::string text;
        proto::decode_company_info_content(body, text);
        return utf8_str(text);
    });
}

}  // namespace pelmora::py
