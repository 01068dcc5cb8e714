#include "module/client.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/methods.hpp"
#include "module/pyref.hpp"
#include "module/records.hpp"
#include "protocol/finance.hpp"

namespace pelmora::py {

PyObject* client_get_finance_info(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.get_finance_info()", {"market", "code"});
        MethodCall call(sig, args, nargs, kwnames);
        Bytes body;
        uint8_t market;
        if (!call.ok() || !fetch_by_market_code(call, proto::finance_request, body, &market))
            return nullptr;
        proto::FinanceRecord r;
        if (!proto::decode_finance(body, r)) return PyDict_New();

        // The figures' keys follow the first seven in body order.
        static const RecordShape shape{"market",
                                       "code",
                                       "liutongguben",
                                       "province",
                                       "industry",
                                       "updated_date",
                                       "ipo_date",
                                       "zongguben",
                                       "guojiagu",
                                       "faqirenfarengu",
                                       "farengu",
                                       "bgu",
                                       "hgu",
                                       "zhigonggu",
                                       "zongzichan",
                                       "liudongzichan",
                                       "gudingzichan",
                                       "wuxingzichan",
                                       "gudongrenshu",
                                       "liudongfuzhai",
                                       "changqifuzhai",
                                       "zibengongjijin",
                                       "jingzichan",
                                       "zhuyingshouru",
                                       "zhuyinglirun",
                                       "yingshouzhangkuan",
                                       "yingyelirun",
                                       "touzishouyu",
                                       "jingyingxianjinliu",
                                       "zongxianjinliu",
                                       "cunhuo",
                                       "lirunzonghe",
                                       "shuihoulirun",
                                       "jinglirun",
                                       "weifenpeilirun",
                                       "meigujingzichan"};
        constexpr size_t kFirstFigure = 7;
        static_assert(kFirstFigure + proto::kFinanceFigures == 36);

        return shape.build([&](RecordWriter& w) {
            // "code" is the argument itself, whole: only the request cuts it to six bytes.
            if (!(w.add(PyLong_FromLong(market)) && w.add(Py_NewRef(call[1])) &&
                  w.add(PyFloat_FromDouble(r.liutongguben)) && w.add(PyLong_FromLong(r.province)) &&
                  w.add(PyLong_FromLong(r.industry)) &&
                  w.add(PyLong_FromUnsignedLong(r.updated_date)) &&
                  w.add(PyLong_FromUnsignedLong(r.ipo_date))))
                return false;
            for (double figure : r.figures)
                if (!w.add(PyFloat_FromDouble(figure))) return false;
            return true;
        });
    });
}

}  // namespace pelmora::py
