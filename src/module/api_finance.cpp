#include "module/client.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/methods.hpp"
#include "module/pyref.hpp"
#include "module/records.hpp"
#include "protocol/finance.hpp"

namespace pelmora::py {

PyObject* client_get_finance_info(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.get_finance_info()", {"market", "code"});
        MethodCall call(sig, args, nargs, kwnames);
        if (!call.ok()) return nullptr;
        uint8_t market;
        std::string_view code;
        if (!arg_uint(call[0], "market", market) || !arg_text(call[1], "code", code)) return nullptr;
        net::Bytes body;
        if (!call.fetch(proto::finance_request(market, code), body)) return nullptr;
        proto::FinanceRecord r;
        if (!proto::decode_finance(body, r)) return PyDict_New();

        // The figures' keys follow the first seven in body order.
        static const RecordShape shape{
            "market", "code", "liutongguben", "province", "industry", "updated_date", "ipo_date",
            "zongguben", "guojiagu", "faqirenfarengu", "farengu", "bgu", "hgu", "zhigonggu",
            "zongzichan", "liudongzichan", "gudingzichan", "wuxingzichan", "gudongrenshu",
            "liudongfuzhai", "changqifuzhai", "zibengongjijin", "jingzichan", "zhuyingshouru",
            "zhuyinglirun", "yingshouzhangkuan", "yingyelirun", "touzishouyu",
            "jingyingxianjinliu", "zongxianjinliu", "cunhuo", "lirunzonghe", "shuihoulirun",
            "jinglirun", "weifenpeilirun", "meigujingzichan"};
        constexpr size_t kFirstFigure = 7;
        static_assert(kFirstFigure + proto::kFinanceFigures == 36);

        PyRef dict = PyRef::steal(shape.new_dict());
        if (!dict) return nullptr;
        PyObject* d = dict.get();
        // "code" is the argument itself, whole: only the request cuts it to six bytes.
        if (!put(d, shape.key(0), PyLong_FromLong(market)) ||
            !put(d, shape.key(1), Py_NewRef(call[1])) ||
            !put(d, shape.key(2), PyFloat_FromDouble(r.liutongguben)) ||
            !put(d, shape.key(3), PyLong_FromLong(r.province)) ||
            !put(d, shape.key(4), PyLong_FromLong(r.industry)) ||
            !put(d, shape.key(5), PyLong_FromUnsignedLong(r.updated_date)) ||
            !put(d, shape.key(6), PyLong_FromUnsignedLong(r.ipo_date)))
            return nullptr;
        for (size_t k = 0; k < proto::kFinanceFigures; ++k)
            if (!put(d, shape.key(kFirstFigure + k), PyFloat_FromDouble(r.figures[k]))) return nullptr;
        return dict.release();
    });
}

}  // namespace pelmora::py
