// pelmora._engine: the parallel pool, built from the same core as pelmora._core.
#include <Python.h>

#include "engine/fast_inflate.hpp"
#include "engine_module/batch_object.hpp"
#include "engine_module/pool_object.hpp"
#include "engine_module/table_object.hpp"
#include "module/errors.hpp"
#include "module/module_init.hpp"

namespace pelmora::py {

extern PyMethodDef kFileReaderMethods[];

namespace {

PyModuleDef module_def = module_definition(
    "_engine",
    "pelmora._engine \u2014 a pool of HQ connections served without the interpreter lock, "
    "bars decoded into columns",
    kFileReaderMethods);

}  // namespace
}  // namespace pelmora::py

PyMODINIT_FUNC PyInit__engine() {
    using namespace pelmora::py;
    return guarded([]() -> PyObject* {
        PyObject* m =
            create_module(module_def, {&PoolType, &BarBatchType, &ColumnType, &TableBatchType});
        if (m && PyModule_AddStringConstant(m, "INFLATER",
                                            pelmora::engine::inflater_name().c_str()) < 0) {
            Py_DECREF(m);
            return nullptr;
        }
        return m;
    });
}
