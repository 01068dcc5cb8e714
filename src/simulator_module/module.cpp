// pelmora.testing._minutes: the simulated market's intraday bars and ticks, compiled.
#include <Python.h>

#include "python/errors.hpp"
#include "python/module_init.hpp"
#include "simulator_module/methods.hpp"

namespace pelmora::py {

namespace {

PyMethodDef kMethods[] = {
    intraday_bars_def(),
    day_ticks_def(),
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
