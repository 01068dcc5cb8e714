#include <new>

#include "core_module/client.hpp"
#include "core_module/methods.hpp"
#include "core_module/records.hpp"
#include "protocol/xdxr.hpp"
#include "python/command.hpp"

namespace pelmora::py {

namespace {

using Xdxr = proto::XdxrRecord;

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

PyObject* category_name(const Xdxr& r) {
    static const CategoryNames names;
    return names.get(r.category);
}

// The value in slot K of the record's layout.
template <size_t K>
PyObject* slot(const Xdxr& r) {
    return PyFloat_FromDouble(r.values[K]);
}

// The common keys, then the keys of the layout's value slots.
const auto kCommon =
    std::make_tuple(field("year", [](const Xdxr& r) { return PyLong_FromUnsignedLong(r.year); }),
                    field("month", [](const Xdxr& r) { return PyLong_FromUnsignedLong(r.month); }),
                    field("day", [](const Xdxr& r) { return PyLong_FromUnsignedLong(r.day); }),
                    field("category", [](const Xdxr& r) { return PyLong_FromLong(r.category); }),
                    field("name", category_name));

template <class... F>
auto xdxr_shape(Field<F>... slots) {
    return RecordShape(std::tuple_cat(kCommon, std::make_tuple(slots...)));
}

struct GetXdxrInfo {
    static constexpr const char* doc = "get_xdxr_info($self, market, code)\n--\n\n";
    PyObject* operator()(MethodCall& call, uint8_t market, std::string_view code) const {
        Bytes body;
        if (!call.fetch(proto::xdxr_request(market, code), body)) return nullptr;
        static const auto dividend =
            xdxr_shape(field("fenhong", slot<0>), field("peigujia", slot<1>),
                       field("songzhuangu", slot<2>), field("peigu", slot<3>));
        static const auto consolidation = xdxr_shape(field("suogu", slot<0>));
        static const auto warrant =
            xdxr_shape(field("xingquanjia", slot<0>), field("fenshu", slot<1>));
        static const auto share_capital =
            xdxr_shape(field("panqianliutong", slot<0>), field("qianzongguben", slot<1>),
                       field("panhouliutong", slot<2>), field("houzongguben", slot<3>));
        auto make = [](const Xdxr& r) -> PyObject* {
            switch (proto::xdxr_layout(r.category)) {
                case proto::XdxrLayout::Dividend:
                    return dividend.build(r);
                case proto::XdxrLayout::Consolidation:
                    return consolidation.build(r);
                case proto::XdxrLayout::Warrant:
                    return warrant.build(r);
                case proto::XdxrLayout::ShareCapital:
                    break;
            }
            return share_capital.build(r);
        };
        return decode_list(make, proto::xdxr_bound(body.data(), body.size()), [&](auto& sink) {
            return proto::decode_xdxr(body.data(), body.size(), sink);
        });
    }
};

}  // namespace

std::span<const PyMethodDef> xdxr_methods() {
    return method_defs<GetXdxrInfo>();
}

}  // namespace pelmora::py
