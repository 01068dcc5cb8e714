#include <new>

#include "module/client.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/methods.hpp"
#include "module/pyref.hpp"
#include "module/records.hpp"
#include "protocol/xdxr.hpp"

namespace pelmora::py {

namespace {

// One dict prototype per layout: the common keys, then the keys of the layout's value slots.
struct XdxrShapes {
    RecordShape dividend{"year", "month", "day", "category", "name",
                         "fenhong", "peigujia", "songzhuangu", "peigu"};
    RecordShape consolidation{"year", "month", "day", "category", "name", "suogu"};
    RecordShape warrant{"year", "month", "day", "category", "name", "xingquanjia", "fenshu"};
    RecordShape share_capital{"year", "month", "day", "category", "name",
                              "panqianliutong", "qianzongguben", "panhouliutong", "houzongguben"};

    const RecordShape& of(proto::XdxrLayout layout) const {
        switch (layout) {
            case proto::XdxrLayout::Dividend: return dividend;
            case proto::XdxrLayout::Consolidation: return consolidation;
            case proto::XdxrLayout::Warrant: return warrant;
            case proto::XdxrLayout::ShareCapital: break;
        }
        return share_capital;
    }
};

// The category names as str objects, made once for the process and shared by every record.
class CategoryNames {
public:
    CategoryNames() {
        for (unsigned c = 0; c < 16; ++c) {
            std::string_view name = proto::xdxr_category_name(uint8_t(c));
            names_[c] = utf8_str(name);
            if (!names_[c]) throw std::bad_alloc();
        }
    }
    // A new reference to the name of `category` (index 0 holds the name of every unknown one).
    PyObject* get(uint8_t category) const {
        PyObject* name = names_[category <= 15 ? category : 0];
        Py_INCREF(name);
        return name;
    }

private:
    PyObject* names_[16];
};

}  // namespace

PyObject* client_get_xdxr_info(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.get_xdxr_info()", {"market", "code"});
        MethodCall call(sig, args, nargs, kwnames);
        if (!call.ok()) return nullptr;
        uint8_t market;
        std::string_view code;
        if (!arg_uint(call[0], "market", market) || !arg_text(call[1], "code", code)) return nullptr;
        net::Bytes body;
        if (!call.fetch(proto::xdxr_request(market, code), body)) return nullptr;
        std::vector<proto::XdxrRecord> records;
        proto::decode_xdxr(body, records);

        static const XdxrShapes shapes;
        static const CategoryNames names;
        PyRef list = PyRef::steal(PyList_New(Py_ssize_t(records.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < records.size(); ++i) {
            const proto::XdxrRecord& r = records[i];
            const RecordShape& shape = shapes.of(proto::xdxr_layout(r.category));
            PyObject* d = shape.new_dict();
            if (!d) return nullptr;
            PyList_SET_ITEM(list.get(), Py_ssize_t(i), d);
            if (!put(d, shape.key(0), PyLong_FromUnsignedLong(r.year)) ||
                !put(d, shape.key(1), PyLong_FromUnsignedLong(r.month)) ||
                !put(d, shape.key(2), PyLong_FromUnsignedLong(r.day)) ||
                !put(d, shape.key(3), PyLong_FromLong(r.category)) ||
                !put(d, shape.key(4), names.get(r.category)))
                return nullptr;
            for (size_t k = 5; k < shape.size(); ++k)
                if (!put(d, shape.key(k), PyFloat_FromDouble(r.values[k - 5]))) return nullptr;
        }
        return list.release();
    });
}

}  // namespace pelmora::py
