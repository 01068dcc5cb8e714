// pelmora._engine: the parallel pool, built from the same core as pelmora._core.
#include <Python.h>

#include "engine_module/batch_object.hpp"
#include "engine_module/pool_object.hpp"
#include "engine_module/table_object.hpp"
#include "module/errors.hpp"

namespace pelmora::py {

extern PyMethodDef kFileReaderMethods[];

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    "pelmora._engine \u2014 a pool of HQ connections served without the interpreter lock, "
    "bars decoded into columns",
    0,
    kFileReaderMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pelmora::py

PyMODINIT_FUNC PyInit__engine() {
    using namespace pelmora::py;
    return guarded([]() -> PyObject* {
        if (!init_panic_exception() || !init_batch_types() || !init_table_type() ||
            !init_pool_type())
            return nullptr;
        PyObject* m = PyModule_Create(&module_def);
        if (!m) return nullptr;
        if (PyModule_AddObjectRef(m, "Pool", reinterpret_cast<PyObject*>(&PoolType)) < 0 ||
            PyModule_AddObjectRef(m, "BarBatch", reinterpret_cast<PyObject*>(&BarBatchType)) < 0 ||
            PyModule_AddObjectRef(m, "Column", reinterpret_cast<PyObject*>(&ColumnType)) < 0 ||
            PyModule_AddObjectRef(m, "TableBatch", reinterpret_cast<PyObject*>(&TableBatchType)) <
                0) {
            Py_DECREF(m);
            return nullptr;
        }
        return m;
    });
}
