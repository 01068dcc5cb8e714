// Batches on their way through the pool: submitting one, waiting for it, and Pending, the
// Python object of a batch submitted and not yet waited for.
#pragma once

#include <Python.h>

#include <memory>
#include <vector>

#include "engine/batch.hpp"
#include "engine/pool.hpp"

namespace pelmora::py {

extern PyTypeObject PendingType;

// A batch of `queries`, prepared and queued on `pool`; null with an exception set.
std::shared_ptr<engine::Batch> submit(engine::Pool& pool, std::vector<engine::Query> queries);

// A batch run to its end through the wait loop and compacted; null with an exception set when
// the wait was interrupted (the batch is cancelled then).
std::shared_ptr<engine::Batch> run(engine::Pool& pool, std::vector<engine::Query> queries,
                                   PyObject* progress);

// A new Pending of `queries` submitted to `pool`: a BarBatch to come for bars, a TableBatch
// for a table kind. Null with an exception set.
PyObject* submit_pending(engine::Pool& pool, engine::QueryKind kind,
                         std::vector<engine::Query> queries);

// Pending.result(progress): the batch object, waited for and made once.
PyObject* pending_result(PyObject* pending, PyObject* progress);

}  // namespace pelmora::py
