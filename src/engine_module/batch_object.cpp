#include "engine_module/batch_object.hpp"

#include <cstring>
#include <new>
#include <string_view>

#include "python/errors.hpp"
#include "python/module_init.hpp"
#include "python/pyref.hpp"

namespace pelmora::py {

namespace {

struct BarBatchObject {
    PyObject_HEAD std::shared_ptr<engine::Batch> batch;
    int64_t* counts;  // rows per request, exported as the "counts" column
};

struct ColumnObject {
    PyObject_HEAD PyObject* owner;  // the BarBatch whose memory this is
    void* data;
    int ndim;  // 1, or 2 for the block of value columns (a row per column)
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
    char format[2];
};

void batch_dealloc(PyObject* self) {
    auto* b = reinterpret_cast<BarBatchObject*>(self);
    b->batch.~shared_ptr();
    PyMem_Free(b->counts);
    Py_TYPE(self)->tp_free(self);
}

Py_ssize_t batch_length(PyObject* self) {
    return Py_ssize_t(reinterpret_cast<BarBatchObject*>(self)->batch->total_rows());
}

}  // namespace

PyObject* make_column(PyObject* owner, void* data, size_t columns, size_t rows, char format) {
    static int64_t empty = 0;  // a buffer's address is never null, even with no rows
    if (rows == 0) data = &empty;
    auto* c = PyObject_New(ColumnObject, &ColumnType);
    if (!c) return nullptr;
    c->owner = Py_NewRef(owner);
    c->data = data;
    c->ndim = columns == 0 ? 1 : 2;
    c->shape[0] = Py_ssize_t(columns == 0 ? rows : columns);
    c->shape[1] = Py_ssize_t(rows);
    c->strides[0] = columns == 0 ? 8 : Py_ssize_t(rows) * 8;
    c->strides[1] = 8;
    c->format[0] = format;
    c->format[1] = '\0';
    return reinterpret_cast<PyObject*>(c);
}

namespace {

PyObject* batch_column(PyObject* self, PyObject* arg) {
    auto* b = reinterpret_cast<BarBatchObject*>(self);
    std::string_view key;
    if (!column_name(arg, key)) return nullptr;
    const engine::BarColumns& c = b->batch->columns;
    const size_t rows = b->batch->total_rows();
    if (key == "counts") return make_column(self, b->counts, 0, b->batch->size(), 'q');
    if (key == "datetime") return make_column(self, c.datetime(), 0, rows, 'q');
    if (key == "values") return make_column(self, c.values(), size_t(c.value_columns()), rows, 'd');
    for (int i = 0; i < c.value_columns(); ++i)
        if (key == engine::kColumnNames[i])
            return make_column(self, c.column(engine::Column(i)), 0, rows, 'd');
    return no_column(arg);
}

PyObject* batch_errors(PyObject* self, PyObject*) {
    return error_list(*reinterpret_cast<BarBatchObject*>(self)->batch);
}

PyObject* batch_get_index(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<BarBatchObject*>(self)->batch->columns.index());
}

PyMethodDef batch_methods[] = {
    {"column", batch_column, METH_O,
     "column($self, name, /)\n--\n\nOne column (a buffer of int64 'q' or float64 'd'): "
     "datetime (seconds), open, high, low, close, volume, amount, up_count, down_count, "
     "counts (rows per request), or values: every value column, one a row (2-D)."},
    {"errors", batch_errors, METH_NOARGS,
     "errors($self, /)\n--\n\n[(request index, exception)] of the requests that failed."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef batch_getset[] = {
    {"index", batch_get_index, nullptr, "Whether the columns hold up_count and down_count.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods batch_sequence = [] {
    PySequenceMethods m{};
    m.sq_length = batch_length;
    return m;
}();

void column_dealloc(PyObject* self) {
    Py_DECREF(reinterpret_cast<ColumnObject*>(self)->owner);
    PyObject_Free(self);
}

int column_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* c = reinterpret_cast<ColumnObject*>(self);
    if (c->ndim == 2 && (flags & PyBUF_STRIDES) != PyBUF_STRIDES) {
        raise(error(ErrorKind::Buffer, "the block of value columns needs a strided view"));
        return -1;
    }
    view->obj = Py_NewRef(self);
    view->buf = c->data;
    view->len = c->ndim == 2 ? c->shape[0] * c->shape[1] * 8 : c->shape[0] * 8;
    view->itemsize = 8;
    view->readonly = 0;
    view->ndim = c->ndim;
    view->format = (flags & PyBUF_FORMAT) ? c->format : nullptr;
    view->shape = (flags & PyBUF_ND) ? c->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? c->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

Py_ssize_t column_length(PyObject* self) {
    return reinterpret_cast<ColumnObject*>(self)->shape[0];
}

PyObject* column_get_address(PyObject* self, void*) {
    return PyLong_FromVoidPtr(reinterpret_cast<ColumnObject*>(self)->data);
}

PyGetSetDef column_getset[] = {
    {"address", column_get_address, nullptr, "Address of the column's first element.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyBufferProcs column_buffer = [] {
    PyBufferProcs b{};
    b.bf_getbuffer = column_getbuffer;
    return b;
}();
PySequenceMethods column_sequence = [] {
    PySequenceMethods m{};
    m.sq_length = column_length;
    return m;
}();

}  // namespace

PyTypeObject BarBatchType = [] {
    PyTypeObject t =
        static_type("pelmora._engine.BarBatch", sizeof(BarBatchObject),
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                    "Bars of a batch of requests, as columns; rows of request i follow those of "
                    "request i - 1.");
    t.tp_dealloc = batch_dealloc;
    t.tp_methods = batch_methods;
    t.tp_getset = batch_getset;
    t.tp_as_sequence = &batch_sequence;
    return t;
}();

PyTypeObject ColumnType = [] {
    PyTypeObject t = static_type("pelmora._engine.Column", sizeof(ColumnObject),
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                 "One column of a BarBatch, shared through the buffer protocol.");
    t.tp_dealloc = column_dealloc;
    t.tp_as_buffer = &column_buffer;
    t.tp_as_sequence = &column_sequence;
    t.tp_getset = column_getset;
    return t;
}();

PyObject* new_bar_batch(std::shared_ptr<engine::Batch> batch) {
    auto* b = PyObject_New(BarBatchObject, &BarBatchType);
    if (!b) return nullptr;
    new (&b->batch) std::shared_ptr<engine::Batch>(std::move(batch));
    const size_t n = b->batch->size();
    b->counts = static_cast<int64_t*>(PyMem_Malloc(n ? n * sizeof(int64_t) : 1));
    if (!b->counts) {
        Py_DECREF(b);
        return raise(error(ErrorKind::NoMemory, "out of memory"));
    }
    for (size_t i = 0; i < n; ++i)
        b->counts[i] = int64_t(b->batch->offsets[i + 1] - b->batch->offsets[i]);
    return reinterpret_cast<PyObject*>(b);
}

namespace {

// The exception object of an error (what raise() would raise), or null with an error set.
PyObject* exception_object(const Error& error) {
    raise(error);
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

}  // namespace

PyObject* error_list(const engine::Batch& batch) {
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out) return nullptr;
    for (size_t i = 0; i < batch.size(); ++i) {
        if (!batch.errors[i]) continue;
        PyRef exc = PyRef::steal(exception_object(*batch.errors[i]));
        if (!exc) return nullptr;
        PyRef item = PyRef::steal(Py_BuildValue("(nO)", Py_ssize_t(i), exc.get()));
        if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
    }
    return out.release();
}

bool column_name(PyObject* arg, std::string_view& name) {
    if (!PyUnicode_Check(arg)) {
        raise(error(ErrorKind::Type, "column name must be a str"));
        return false;
    }
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(arg, &len);
    if (!text) return false;
    name = std::string_view(text, size_t(len));
    return true;
}

PyObject* no_column(PyObject* name) {
    return raise(error(ErrorKind::Key, "no column " + repr_text(name)));
}

}  // namespace pelmora::py
