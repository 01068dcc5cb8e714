#include "engine_module/table_object.hpp"

#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "engine/table_queries.hpp"
#include "engine_module/batch_object.hpp"
#include "python/errors.hpp"
#include "python/module_init.hpp"
#include "python/pyref.hpp"

namespace pelmora::py {

namespace {

using engine::Batch;
using engine::QueryKind;
using engine::TableColumns;

struct TableBatchObject {
    PyObject_HEAD std::shared_ptr<Batch> batch;
    TableColumns table;           // every request's rows, in request order
    std::vector<int64_t> counts;  // rows per request (0 for a failed one)
};

}  // namespace

void gather_tables(Batch& batch, QueryKind kind, TableColumns& table,
                   std::vector<int64_t>& counts) {
    table.reset(engine::table_schema(kind));
    counts.assign(batch.size(), 0);
    for (size_t i = 0; i < batch.size(); ++i) {
        if (batch.errors[i]) continue;
        counts[i] = int64_t(batch.tables[i].rows());
        table.append(batch.tables[i]);
        batch.tables[i] = TableColumns();
    }
}

PyObject* new_table_batch(std::shared_ptr<Batch> batch, TableColumns table,
                          std::vector<int64_t> counts) {
    auto* t = PyObject_New(TableBatchObject, &TableBatchType);
    if (!t) return nullptr;
    new (&t->batch) std::shared_ptr<Batch>(std::move(batch));
    new (&t->table) TableColumns(std::move(table));
    new (&t->counts) std::vector<int64_t>(std::move(counts));
    return reinterpret_cast<PyObject*>(t);
}

namespace {

void table_dealloc(PyObject* self) {
    auto* t = reinterpret_cast<TableBatchObject*>(self);
    t->batch.~shared_ptr();
    t->table.~TableColumns();
    t->counts.~vector();
    Py_TYPE(self)->tp_free(self);
}

Py_ssize_t table_length(PyObject* self) {
    return Py_ssize_t(reinterpret_cast<TableBatchObject*>(self)->table.rows());
}

PyObject* str_list(const std::vector<std::string>& texts) {
    PyRef out = PyRef::steal(PyList_New(Py_ssize_t(texts.size())));
    if (!out) return nullptr;
    for (size_t k = 0; k < texts.size(); ++k) {
        PyObject* s = PyUnicode_DecodeUTF8(texts[k].data(), Py_ssize_t(texts[k].size()), "replace");
        if (!s) return nullptr;
        PyList_SET_ITEM(out.get(), Py_ssize_t(k), s);
    }
    return out.release();
}

PyObject* table_column(PyObject* self, PyObject* arg) {
    auto* t = reinterpret_cast<TableBatchObject*>(self);
    std::string_view key;
    if (!column_name(arg, key)) return nullptr;
    const size_t rows = t->table.rows();
    if (auto* c = t->table.f64(key))
        return make_column(self, const_cast<double*>(c->data()), 0, rows, 'd');
    if (auto* c = t->table.i64(key))
        return make_column(self, const_cast<int64_t*>(c->data()), 0, rows, 'q');
    if (auto* c = t->table.text(key)) return str_list(*c);
    return no_column(arg);
}

PyObject* table_counts(PyObject* self, PyObject*) {
    auto* t = reinterpret_cast<TableBatchObject*>(self);
    return make_column(self, t->counts.data(), 0, t->counts.size(), 'q');
}

PyObject* table_errors(PyObject* self, PyObject*) {
    return error_list(*reinterpret_cast<TableBatchObject*>(self)->batch);
}

PyObject* table_names(PyObject* self, PyObject*) {
    const engine::TableSchema* s = reinterpret_cast<TableBatchObject*>(self)->table.schema();
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out || !s) return out.release();
    for (const auto* group : {&s->f64, &s->i64, &s->text})
        for (const char* name : *group) {
            PyRef text = PyRef::steal(PyUnicode_FromString(name));
            if (!text || PyList_Append(out.get(), text.get()) < 0) return nullptr;
        }
    return out.release();
}

PyMethodDef table_methods[] = {
    {"column", table_column, METH_O,
     "column($self, name, /)\n--\n\nOne column: a buffer of float64 'd' or int64 'q' values, "
     "or a list of str for a text column."},
    {"counts", table_counts, METH_NOARGS,
     "counts($self, /)\n--\n\nRows per request (a buffer of int64; 0 for a failed one)."},
    {"names", table_names, METH_NOARGS,
     "names($self, /)\n--\n\nThe names of the columns: float64, then int64, then text."},
    {"errors", table_errors, METH_NOARGS,
     "errors($self, /)\n--\n\n[(request index, exception)] of the requests that failed."},
    {nullptr, nullptr, 0, nullptr},
};

PySequenceMethods table_sequence = [] {
    PySequenceMethods m{};
    m.sq_length = table_length;
    return m;
}();

}  // namespace

PyTypeObject TableBatchType = [] {
    PyTypeObject t = static_type(
        "pelmora._engine.TableBatch", sizeof(TableBatchObject),
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        "Rows of a batch of requests of one kind, as named columns; rows of request i follow "
        "those of request i - 1.");
    t.tp_dealloc = table_dealloc;
    t.tp_methods = table_methods;
    t.tp_as_sequence = &table_sequence;
    return t;
}();

}  // namespace pelmora::py
