// pelmora.testing._minutes: the simulated market's intraday bars, compiled.
#include <Python.h>

#include "module/errors.hpp"

namespace pelmora::py {

extern PyMethodDef kIntradayMethods[];

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_minutes",
    "pelmora.testing._minutes \u2014 the simulated market's intraday bars, compiled",
    0,
    kIntradayMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pelmora::py

PyMODINIT_FUNC PyInit__minutes() {
    using namespace pelmora::py;
    return guarded([]() -> PyObject* {
        if (!init_panic_exception()) return nullptr;
        return PyModule_Create(&module_def);
    });
}
