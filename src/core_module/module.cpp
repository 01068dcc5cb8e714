// Module initialisation: single-phase, once per process, in one interpreter only.
#include <Python.h>

#include <cstdint>

#include "core_module/client.hpp"
#include "core_module/methods.hpp"
#include "python/errors.hpp"

namespace pelmora::py {
namespace {

PyObject* cached_module = nullptr;
int64_t owner_interpreter = -1;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "pelmora._core \u2014 High-performance TDX data reader implemented in C++",
    0,  // no per-module state; a re-import hands back the same module object
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* create_module() {
    if (!init_panic_exception()) return nullptr;
    PyObject* m = PyModule_Create(&module_def);
    if (!m) return nullptr;
    if (PyModule_AddFunctions(m, module_functions()) < 0 || !init_client_type() ||
        PyModule_AddObjectRef(m, "TdxClient", reinterpret_cast<PyObject*>(&TdxClientType)) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}

}  // namespace
}  // namespace pelmora::py

PyMODINIT_FUNC PyInit__core() {
    using namespace pelmora::py;
    return guarded([]() -> PyObject* {
        int64_t interp = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (cached_module) {
            if (interp != owner_interpreter) {
                return raise(
                    pelmora::error(pelmora::ErrorKind::Import,
                                   "pelmora._core does not support sub-interpreters: it can be "
                                   "imported in one interpreter per process only"));
            }
            Py_INCREF(cached_module);
            return cached_module;
        }
        PyObject* m = create_module();
        if (!m) return nullptr;
        cached_module = m;
        Py_INCREF(cached_module);  // held for the life of the process
        owner_interpreter = interp;
        return m;
    });
}
