#include "engine_module/arrow_table.hpp"

#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "common/arrow_export.hpp"
#include "engine_module/arrow_columns.hpp"
#include "python/command.hpp"
#include "python/errors.hpp"
#include "python/module_init.hpp"
#include "python/pyref.hpp"

namespace pelmora::py {

namespace {

using arrow::ArrowArray;
using arrow::ArrowArrayStream;
using arrow::ArrowSchema;

struct ArrowTableObject {
    static constexpr const char* type_name = "ArrowTable";
    PyObject_HEAD arrow::SharedTable table;
};

using TableCall = Bound<ArrowTableObject>;

// The capsule names of the PyCapsule interface.
constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kArrayCapsule = "arrow_array";
constexpr const char* kStreamCapsule = "arrow_array_stream";

// A capsule's destructor: releases the struct unless a consumer moved it out (release null),
// then frees the struct itself, which the capsule owns.
template <class S>
void drop_struct(PyObject* capsule) {
    const char* name = PyCapsule_GetName(capsule);
    auto* s = static_cast<S*>(PyCapsule_GetPointer(capsule, name));
    if (!s) {
        PyErr_Clear();
        return;
    }
    if (s->release) s->release(s);
    delete s;
}

// A capsule named `name` owning a struct that `fill` exports into.
template <class S, class F>
PyObject* capsule_of(const char* name, F&& fill) {
    auto s = std::make_unique<S>();
    fill(s.get());
    PyObject* capsule = PyCapsule_New(s.get(), name, drop_struct<S>);
    if (!capsule) {
        s->release(s.get());
        return nullptr;
    }
    s.release();
    return capsule;
}

PyObject* schema_capsule(const arrow::Table& table) {
    return capsule_of<ArrowSchema>(kSchemaCapsule,
                                   [&](ArrowSchema* s) { arrow::export_schema(table, s); });
}

struct NewArrowTable {
    static constexpr const char* doc =
        "ArrowTable(columns, chunk_rows=0)\n--\n\nColumns (name, kind, data, dictionary) "
        "exported through the Arrow PyCapsule interface. kind: float64, int64, int32, int16, "
        "int8, timestamp[s] or timestamp[ms] (data: a 1-D C-contiguous buffer of such items, or "
        "datetime64 of the unit), "
        "dictionary (data: int8, int16 or int32 codes into the dictionary, a list of str), utf8 "
        "(data: a list of str). Numeric buffers are exported as they are, never copied, and kept "
        "alive as long as anything exported from the table. chunk_rows: rows of a stream's batch "
        "at most, 0 for one batch.";
    PyObject* operator()(PyTypeObject* type, const std::vector<PyObject*>& columns,
                         uint64_t chunk_rows) const {
        arrow::SharedTable table;
        if (!arrow_columns(columns, chunk_rows, table)) return nullptr;
        PyRef self = PyRef::steal(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        new (&reinterpret_cast<ArrowTableObject*>(self.get())->table)
            arrow::SharedTable(std::move(table));
        return self.release();
    }
};

void table_dealloc(PyObject* self) {
    reinterpret_cast<ArrowTableObject*>(self)->table.~shared_ptr();
    Py_TYPE(self)->tp_free(self);
}

// requested_schema is accepted, as the interface asks, and not applied: the columns go out with
// their own types, which a consumer may cast.
struct CSchema {
    static constexpr const char* doc =
        "__arrow_c_schema__($self)\n--\n\nThe struct schema of the columns, as an "
        "'arrow_schema' capsule.";
    PyObject* operator()(TableCall& call) const { return schema_capsule(*call.object().table); }
};

struct CArray {
    static constexpr const char* doc =
        "__arrow_c_array__($self, requested_schema=None)\n--\n\n(schema, array) capsules of a "
        "struct array of every row. requested_schema is not applied.";
    PyObject* operator()(TableCall& call, const std::optional<PyObject*>&) const {
        const arrow::SharedTable& table = call.object().table;
        PyRef schema = PyRef::steal(schema_capsule(*table));
        if (!schema) return nullptr;
        PyRef array = PyRef::steal(capsule_of<ArrowArray>(
            kArrayCapsule, [&](ArrowArray* a) { arrow::export_rows(table, 0, table->rows, a); }));
        if (!array) return nullptr;
        return PyTuple_Pack(2, schema.get(), array.get());
    }
};

struct CStream {
    static constexpr const char* doc =
        "__arrow_c_stream__($self, requested_schema=None)\n--\n\nAn 'arrow_array_stream' "
        "capsule of the table's batches, chunk_rows rows each at most, slices of the same "
        "buffers. requested_schema is not applied.";
    PyObject* operator()(TableCall& call, const std::optional<PyObject*>&) const {
        const arrow::SharedTable& table = call.object().table;
        return capsule_of<ArrowArrayStream>(
            kStreamCapsule, [&](ArrowArrayStream* s) { arrow::export_stream(table, s); });
    }
};

Py_ssize_t table_length(PyObject* self) {
    return Py_ssize_t(reinterpret_cast<ArrowTableObject*>(self)->table->rows);
}

PyObject* table_get_num_chunks(PyObject* self, void*) {
    return PyLong_FromLongLong(reinterpret_cast<ArrowTableObject*>(self)->table->num_chunks());
}

PyObject* table_get_column_names(PyObject* self, void*) {
    const arrow::Table& table = *reinterpret_cast<ArrowTableObject*>(self)->table;
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out) return nullptr;
    for (const arrow::Column& c : table.columns) {
        PyRef name =
            PyRef::steal(PyUnicode_FromStringAndSize(c.name.data(), Py_ssize_t(c.name.size())));
        if (!name || PyList_Append(out.get(), name.get()) < 0) return nullptr;
    }
    return out.release();
}

PyMethodDef table_methods[] = {
    method_def<CSchema>(),
    method_def<CArray>(),
    method_def<CStream>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_getset[] = {
    {"num_chunks", table_get_num_chunks, nullptr, "Batches a stream of the table gives.", nullptr},
    {"column_names", table_get_column_names, nullptr, "The columns' names, in order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods table_sequence = [] {
    PySequenceMethods m{};
    m.sq_length = table_length;
    return m;
}();

}  // namespace

PyTypeObject ArrowTableType = [] {
    PyTypeObject t = static_type("pelmora._engine.ArrowTable", sizeof(ArrowTableObject),
                                 Py_TPFLAGS_DEFAULT, NewArrowTable::doc);
    t.tp_new = new_entry<NewArrowTable>;
    t.tp_dealloc = table_dealloc;
    t.tp_methods = table_methods;
    t.tp_getset = table_getset;
    t.tp_as_sequence = &table_sequence;
    return t;
}();

}  // namespace pelmora::py
