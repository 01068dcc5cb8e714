#include "core_module/client.hpp"
#include "core_module/methods.hpp"
#include "core_module/records.hpp"
#include "protocol/finance.hpp"
#include "python/command.hpp"

namespace pelmora::py {

namespace {

// The record with the arguments it answers, for the two keys that come from them.
struct Finance {
    const proto::FinanceRecord& record;
    uint8_t market;
    PyObject* code;
};

template <size_t... I>
auto finance_shape(std::index_sequence<I...>) {
    using F = Finance;
    return RecordShape(
        field("market", [](const F& f) { return PyLong_FromLong(f.market); }),
        // "code" is the argument itself, whole: only the request cuts it to six bytes.
        field("code", [](const F& f) { return Py_NewRef(f.code); }),
        field("liutongguben", [](const F& f) { return PyFloat_FromDouble(f.record.liutongguben); }),
        field("province", [](const F& f) { return PyLong_FromLong(f.record.province); }),
        field("industry", [](const F& f) { return PyLong_FromLong(f.record.industry); }),
        field("updated_date",
              [](const F& f) { return PyLong_FromUnsignedLong(f.record.updated_date); }),
        field("ipo_date", [](const F& f) { return PyLong_FromUnsignedLong(f.record.ipo_date); }),
        field(proto::kFinanceFigureTable[I].name,
              [](const F& f) { return PyFloat_FromDouble(f.record.figures[I]); })...);
}

struct GetFinanceInfo {
    static constexpr const char* doc = "get_finance_info($self, market, code)\n--\n\n";
    PyObject* operator()(MethodCall& call, uint8_t market, TextArg code) const {
        Bytes body;
        if (!call.fetch(proto::finance_request(market, code.text), body)) return nullptr;
        static const auto shape = finance_shape(std::make_index_sequence<proto::kFinanceFigures>{});
        // A body too short for the record answers with an empty dict.
        PyObject* result = nullptr;
        bool found = false;
        proto::decode_finance(body.data(), body.size(), [&](const proto::FinanceRecord& r) {
            found = true;
            result = shape.build(Finance{r, market, code.object});
            return true;
        });
        return found ? result : PyDict_New();
    }
};

}  // namespace

std::span<const PyMethodDef> finance_methods() {
    return method_defs<GetFinanceInfo>();
}

}  // namespace pelmora::py
