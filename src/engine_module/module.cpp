// pelmora._engine: the parallel pool, built from the same core as pelmora._core.
#include <Python.h>

#include "engine/fast_inflate.hpp"
#include "engine/pool.hpp"
#include "engine_module/arrow_table.hpp"
#include "engine_module/batch_object.hpp"
#include "engine_module/pending.hpp"
#include "engine_module/pool_object.hpp"
#include "engine_module/table_object.hpp"
#include "protocol/fields.hpp"
#include "protocol/limits.hpp"
#include "python/errors.hpp"
#include "python/module_init.hpp"
#include "python/pyref.hpp"

namespace pelmora::py {

extern PyMethodDef kFileReaderMethods[];

namespace {

PyModuleDef module_def = module_definition(
    "_engine",
    "pelmora._engine \u2014 a pool of HQ connections served without the interpreter lock, "
    "bars decoded into columns",
    kFileReaderMethods);

// The bar categories whose times are minutes, as is_minute_category tells them.
PyObject* minute_categories() {
    PyRef set = PyRef::steal(PyFrozenSet_New(nullptr));
    if (!set) return nullptr;
    for (uint16_t c = 0; c < proto::kCategoryBits; ++c) {
        if (!proto::is_minute_category(c)) continue;
        PyRef n = PyRef::steal(PyLong_FromLong(c));
        if (!n || PySet_Add(set.get(), n.get()) < 0) return nullptr;
    }
    return set.release();
}

// The protocol's and the engine's limits, from the constants the engine itself checks against.
bool add_limits(PyObject* m) {
    const struct {
        const char* name;
        long value;
    } limits[] = {
        {"BAR_PAGE", proto::kBarPage},           {"LIST_PAGE", proto::kListPage},
        {"QUOTE_PAGE", proto::kQuotePage},       {"TRANSACTION_PAGE", proto::kTransactionPage},
        {"MAX_OFFSET", long(proto::kMaxOffset)}, {"MAX_CONNECTIONS", long(engine::kMaxConnections)},
    };
    for (const auto& l : limits)
        if (PyModule_AddIntConstant(m, l.name, l.value) < 0) return false;
    PyRef categories = PyRef::steal(minute_categories());
    return categories && PyModule_AddObjectRef(m, "MINUTE_CATEGORIES", categories.get()) == 0;
}

}  // namespace
}  // namespace pelmora::py

PyMODINIT_FUNC PyInit__engine() {
    using namespace pelmora::py;
    return guarded([]() -> PyObject* {
        PyRef m = PyRef::steal(
            create_module(module_def, {&PoolType, &PendingType, &BarBatchType, &ColumnType,
                                       &TableBatchType, &ArrowTableType}));
        if (!m || !add_limits(m.get()) ||
            PyModule_AddStringConstant(m.get(), "INFLATER",
                                       pelmora::engine::inflater_name().c_str()) < 0)
            return nullptr;
        return m.release();
    });
}
