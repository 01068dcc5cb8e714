// pelmora.testing._minutes: the simulated market's intraday bars and ticks, compiled.
#include <Python.h>

#include "module/errors.hpp"
#include "module/module_init.hpp"
#include "simulator_module/methods.hpp"

namespace pelmora::py {

namespace {

PyMethodDef kMethods[] = {
    {"intraday_bars", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(intraday_bars)),
     METH_FASTCALL | METH_KEYWORDS,
     "intraday_bars(key, days, minutes, skip, out)\n--\n\n"
     "Writes bars [skip, skip + len(out[0])) of the `minutes`-minute bars (1, 5, 15, 30, 60) "
     "of a security's day bars `days` (day, open, high, low, close, vol, amount) into `out` "
     "(open, high, low, close, vol as int64, amount as float64); `key` is the security's noise "
     "key."},
    {"day_ticks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(day_ticks)),
     METH_FASTCALL | METH_KEYWORDS,
     "day_ticks(key, day, minutes, out)\n--\n\n"
     "Writes the 960 ticks of calendar day `day` into `out` (price, vol, num, side, int64) "
     "from its 240 one-minute bars `minutes` (open, high, low, close, vol, int64); `key` is the "
     "security's noise key."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = module_definition(
    "_minutes",
    "pelmora.testing._minutes \u2014 the simulated market's intraday bars and ticks, compiled",
    kMethods);

}  // namespace
}  // namespace pelmora::py

PyMODINIT_FUNC PyInit__minutes() {
    using namespace pelmora::py;
    return guarded([] { return create_module(module_def); });
}
