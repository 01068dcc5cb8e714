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
    RecordShape dividend{"year",    "month",    "day",         "category", "name",
                         "fenhong", "peigujia", "songzhuangu", "peigu"};
    RecordShape consolidation{"year", "month", "day", "category", "name", "suogu"};
    RecordShape warrant{"year", "month", "day", "category", "name", "xingquanjia", "fenshu"};
    RecordShape share_capital{"year",          "month",         "day",
                              "category",      "name",          "panqianliutong",
                              "qianzongguben", "panhouliutong", "houzongguben"};

    const RecordShape& of(proto::XdxrLayout layout) const {
        switch (layout) {
            case proto::XdxrLayout::Dividend:
                return dividend;
            case proto::XdxrLayout::Consolidation:
                return consolidation;
            case proto::XdxrLayout::Warrant:
                return warrant;
            case proto::XdxrLayout::ShareCapital:
                break;
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

PyObject* client_get_xdxr_info(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.get_xdxr_info()", {"market", "code"});
        MethodCall call(sig, args, nargs, kwnames);
        Bytes body;
        if (!call.ok() || !fetch_by_market_code(call, proto::xdxr_request, body)) return nullptr;
        std::vector<proto::XdxrRecord> records;
        proto::decode_xdxr(body, records);

        static const XdxrShapes shapes;
        static const CategoryNames names;
        return new_list(records.size(), [&](size_t i) {
            const proto::XdxrRecord& r = records[i];
            const RecordShape& shape = shapes.of(proto::xdxr_layout(r.category));
            return shape.build([&](RecordWriter& w) {
                if (!(w.add(PyLong_FromUnsignedLong(r.year)) &&
                      w.add(PyLong_FromUnsignedLong(r.month)) &&
                      w.add(PyLong_FromUnsignedLong(r.day)) && w.add(PyLong_FromLong(r.category)) &&
                      w.add(names.get(r.category))))
                    return false;
                // The value slots the category's layout uses, in key order.
                for (size_t k = 0; w.next() < shape.size(); ++k)
                    if (!w.add(PyFloat_FromDouble(r.values[k]))) return false;
                return true;
            });
        });
    });
}

}  // namespace pelmora::py
