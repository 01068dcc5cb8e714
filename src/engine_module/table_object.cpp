#include "engine_module/table_object.hpp"

#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "engine/table_queries.hpp"
#include "engine_module/batch_object.hpp"
#include "engine_module/waiting.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/module_init.hpp"
#include "module/pyref.hpp"
#include "protocol/quotes.hpp"

namespace pelmora::py {

namespace {

using engine::Batch;
using engine::Query;
using engine::QueryKind;
using engine::TableColumns;

struct TableBatchObject {
    PyObject_HEAD std::shared_ptr<Batch> batch;
    TableColumns table;           // every request's rows, in request order
    std::vector<int64_t> counts;  // rows per request (0 for a failed one)
};

constexpr struct {
    const char* name;
    QueryKind kind;
} kKinds[] = {
    {"securities", QueryKind::Securities},
    {"quotes", QueryKind::Quotes},
    {"xdxr", QueryKind::Xdxr},
    {"finance", QueryKind::Finance},
    {"ticks", QueryKind::Ticks},
    {"minutes", QueryKind::Minutes},
};

bool parse_kind(PyObject* obj, QueryKind& out) {
    std::string_view name;
    if (!arg_text(obj, "kind", name)) return false;
    for (const auto& k : kKinds)
        if (name == k.name) {
            out = k.kind;
            return true;
        }
    PyErr_Format(PyExc_ValueError, "unknown query kind %R", obj);
    return false;
}

// Quotes: a sequence of (market, code) pairs; the others: (market, code, start, count, date).
bool parse_query(PyObject* item, QueryKind kind, Query& q) {
    q.kind = kind;
    if (kind == QueryKind::Quotes) {
        if (!arg_market_codes(item, "queries", q.items)) return false;
        if (q.items.empty() || q.items.size() > proto::kMaxQuoteItems) {
            PyErr_SetString(PyExc_ValueError, "a quotes query holds 1 to 9360 securities");
            return false;
        }
        return true;
    }
    unsigned market, start, count;
    unsigned long date;
    const char* code;
    Py_ssize_t code_len;
    if (!PyTuple_Check(item)) {
        PyErr_SetString(PyExc_TypeError,
                        "argument 'queries': expected tuples (market, code, start, count, date)");
        return false;
    }
    if (!PyArg_ParseTuple(item, "Is#IIk", &market, &code, &code_len, &start, &count, &date))
        return false;
    if (market > 1 || start > 0xFFFF || count > 0xFFFF || date > 0xFFFFFFFF) {
        PyErr_Format(PyExc_ValueError, "query %R out of range", item);
        return false;
    }
    q.market = uint8_t(market);
    q.code.assign(code, size_t(code_len));
    q.start = uint16_t(start);
    q.count = uint16_t(count);
    q.date = uint32_t(date);
    return true;
}

std::shared_ptr<Batch> run(engine::Pool* pool, std::vector<Query> queries, PyObject* progress) {
    auto batch = std::make_shared<Batch>(std::move(queries));
    if (!check(batch->prepare())) return nullptr;
    pool->submit(batch);
    if (!wait_for_batch(*batch, progress)) return nullptr;
    return batch;
}

PyObject* new_table_batch(std::shared_ptr<Batch> batch, QueryKind kind) {
    auto* t = PyObject_New(TableBatchObject, &TableBatchType);
    if (!t) return nullptr;
    new (&t->batch) std::shared_ptr<Batch>(std::move(batch));
    new (&t->table) TableColumns();
    new (&t->counts) std::vector<int64_t>();
    PyRef owned = PyRef::steal(reinterpret_cast<PyObject*>(t));
    Batch& b = *t->batch;
    t->table.reset(engine::table_schema(kind));
    t->counts.assign(b.size(), 0);
    Py_BEGIN_ALLOW_THREADS for (size_t i = 0; i < b.size(); ++i) {
        if (b.errors[i]) continue;
        t->counts[i] = int64_t(b.tables[i].rows());
        t->table.append(b.tables[i]);
        b.tables[i] = TableColumns();
    }
    Py_END_ALLOW_THREADS return owned.release();
}

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
    return PyErr_Format(PyExc_KeyError, "no column %R", arg);
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

// at_least: None, or one int per query; only the kinds that take one may have one above 0.
bool parse_at_least(PyObject* obj, QueryKind kind, std::vector<Query>& queries) {
    if (!obj || obj == Py_None) return true;
    PyRef seq = PyRef::steal(PySequence_Fast(obj, "argument 'at_least': expected a sequence"));
    if (!seq) return false;
    if (size_t(PySequence_Fast_GET_SIZE(seq.get())) != queries.size()) {
        PyErr_SetString(PyExc_ValueError, "at_least needs one number per query");
        return false;
    }
    const bool takes =
        kind == QueryKind::Securities || kind == QueryKind::Xdxr || kind == QueryKind::Finance;
    for (size_t i = 0; i < queries.size(); ++i) {
        if (!arg_uint(PySequence_Fast_GET_ITEM(seq.get(), Py_ssize_t(i)), "at_least",
                      queries[i].at_least))
            return false;
        if (queries[i].at_least > 0 && !takes) {
            PyErr_SetString(PyExc_ValueError,
                            "at_least applies to securities, xdxr and finance queries");
            return false;
        }
    }
    return true;
}

PyObject* run_table_queries(engine::Pool* pool, PyObject* kind, PyObject* queries,
                            PyObject* progress, PyObject* at_least) {
    QueryKind k;
    if (!parse_kind(kind, k)) return nullptr;
    PyRef seq = PyRef::steal(PySequence_Fast(queries, "argument 'queries': expected a sequence"));
    if (!seq) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<Query> parsed(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!parse_query(PySequence_Fast_GET_ITEM(seq.get(), i), k, parsed[size_t(i)]))
            return nullptr;
    if (!parse_at_least(at_least, k, parsed)) return nullptr;
    auto batch = run(pool, std::move(parsed), progress);
    if (!batch) return nullptr;
    return new_table_batch(std::move(batch), k);
}

PyObject* run_security_count(engine::Pool* pool, PyObject* market, PyObject* at_least) {
    Query q;
    q.kind = QueryKind::SecurityCount;
    if (!arg_uint(market, "market", q.market)) return nullptr;
    if (at_least && !arg_uint(at_least, "at_least", q.at_least)) return nullptr;
    auto batch = run(pool, {q}, nullptr);
    if (!batch) return nullptr;
    if (batch->errors[0]) return raise(*batch->errors[0]);
    return PyLong_FromUnsignedLong(batch->rows[0]);
}

}  // namespace pelmora::py
