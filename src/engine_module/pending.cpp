#include "engine_module/pending.hpp"

#include <mutex>
#include <new>
#include <utility>

#include "engine_module/batch_object.hpp"
#include "engine_module/table_object.hpp"
#include "python/command.hpp"
#include "python/errors.hpp"
#include "python/module_init.hpp"
#include "python/unlocked.hpp"
#include "python/waiting.hpp"

namespace pelmora::py {

using engine::Batch;
using engine::Query;
using engine::QueryKind;

std::shared_ptr<Batch> submit(engine::Pool& pool, std::vector<Query> queries) {
    auto batch = std::make_shared<Batch>(std::move(queries));
    if (!check(batch->prepare())) return nullptr;
    pool.submit(batch);
    return batch;
}

std::shared_ptr<Batch> run(engine::Pool& pool, std::vector<Query> queries, PyObject* progress) {
    auto batch = submit(pool, std::move(queries));
    if (!batch || !wait_in_slices(*batch, progress)) return nullptr;
    without_lock([&] { batch->compact(); });
    return batch;
}

namespace {

struct PendingObject {
    static constexpr const char* type_name = "Pending";
    PyObject_HEAD std::shared_ptr<Batch> batch;
    QueryKind kind;  // Bars for a BarBatch, a table kind for a TableBatch
    // The batch is compacted (and its tables gathered) once, by the first waiter to see it end.
    std::once_flag finished;
    engine::TableColumns table;
    std::vector<int64_t> counts;
    PyObject* result;  // the batch object, once made
};

PendingObject& pending_of(PyObject* self) {
    return *reinterpret_cast<PendingObject*>(self);
}

void pending_dealloc(PyObject* self) {
    PendingObject& p = pending_of(self);
    // Nobody waits for it any more: the requests still queued are dropped. The workers hold the
    // batch until those running end, whether or not the pool is still open.
    if (!p.result && p.batch) p.batch->cancel();
    Py_XDECREF(p.result);
    p.batch.~shared_ptr();
    p.finished.~once_flag();
    p.table.~TableColumns();
    p.counts.~vector();
    Py_TYPE(self)->tp_free(self);
}

using PendingCall = Bound<PendingObject>;

struct Result {
    static constexpr const char* doc =
        "result($self, progress=None)\n--\n\nWaits for the batch (Ctrl-C cancels it) and returns "
        "its BarBatch or TableBatch, the same object on every call. `progress(done, total)` is "
        "called as requests finish.";
    PyObject* operator()(PendingCall& call, Callback progress) const {
        return pending_result(call.self(), progress.object);
    }
};

PyObject* pending_done(PyObject* self, PyObject*) {
    const Batch& b = *pending_of(self).batch;
    return PyBool_FromLong(b.done() == b.size());
}

PyObject* pending_cancel(PyObject* self, PyObject*) {
    pending_of(self).batch->cancel();
    Py_RETURN_NONE;
}

PyMethodDef pending_methods[] = {
    method_def<Result>(),
    {"done", pending_done, METH_NOARGS,
     "done($self, /)\n--\n\nWhether every request of the batch has ended."},
    {"cancel", pending_cancel, METH_NOARGS,
     "cancel($self, /)\n--\n\nDrops the requests not yet started; they end as failed."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject PendingType = [] {
    PyTypeObject t = static_type(
        "pelmora._engine.Pending", sizeof(PendingObject),
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        "A batch submitted to a Pool: its requests run while the caller does other work; "
        "result() waits for them. Dropped before result(), its requests still queued are "
        "dropped too.");
    t.tp_dealloc = pending_dealloc;
    t.tp_methods = pending_methods;
    return t;
}();

PyObject* submit_pending(engine::Pool& pool, QueryKind kind, std::vector<Query> queries) {
    auto batch = submit(pool, std::move(queries));
    if (!batch) return nullptr;
    auto* p = PyObject_New(PendingObject, &PendingType);
    if (!p) {
        batch->cancel();
        return nullptr;
    }
    new (&p->batch) std::shared_ptr<Batch>(std::move(batch));
    p->kind = kind;
    new (&p->finished) std::once_flag();
    new (&p->table) engine::TableColumns();
    new (&p->counts) std::vector<int64_t>();
    p->result = nullptr;
    return reinterpret_cast<PyObject*>(p);
}

PyObject* pending_result(PyObject* self, PyObject* progress) {
    PendingObject& p = pending_of(self);
    if (!p.result) {
        if (!wait_in_slices(*p.batch, progress)) return nullptr;
        without_lock([&] {
            std::call_once(p.finished, [&] {
                p.batch->compact();
                if (p.kind != QueryKind::Bars) gather_tables(*p.batch, p.kind, p.table, p.counts);
            });
        });
    }
    // Nothing below releases the lock: a second waiter finds the object made.
    if (!p.result)
        p.result = p.kind == QueryKind::Bars
                       ? new_bar_batch(p.batch)
                       : new_table_batch(p.batch, std::move(p.table), std::move(p.counts));
    return p.result ? Py_NewRef(p.result) : nullptr;
}

}  // namespace pelmora::py
