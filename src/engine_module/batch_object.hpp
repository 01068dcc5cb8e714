// Python views of a finished batch: BarBatch (row counts, errors, columns) and Column, which
// exports one column's memory through the buffer protocol, so numpy sees it without a copy.
#pragma once

#include <Python.h>

#include <memory>

#include "engine/batch.hpp"

namespace pelmora::py {

extern PyTypeObject BarBatchType;
extern PyTypeObject ColumnType;

bool init_batch_types();

// A new BarBatch owning `batch`, which must be compacted.
PyObject* new_bar_batch(std::shared_ptr<engine::Batch> batch);

// The exception object of an error (what raise() would raise), or null with an error set.
PyObject* exception_object(const Error& error);

}  // namespace pelmora::py
