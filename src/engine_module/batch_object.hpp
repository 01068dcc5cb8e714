// Python views of a finished batch: BarBatch (row counts, errors, columns) and Column, which
// exports one column's memory through the buffer protocol, so numpy sees it without a copy.
#pragma once

#include <Python.h>

#include <memory>

#include "engine/batch.hpp"

namespace pelmora::py {

extern PyTypeObject BarBatchType;
extern PyTypeObject ColumnType;

// A new BarBatch owning `batch`, which must be compacted.
PyObject* new_bar_batch(std::shared_ptr<engine::Batch> batch);

// A Column over `rows` 8-byte values at `data` ('q' or 'd'), a block of `columns` columns of
// them when `columns` > 0; `owner` keeps the memory alive.
PyObject* make_column(PyObject* owner, void* data, size_t columns, size_t rows, char format);

// The exception object of an error (what raise() would raise), or null with an error set.
PyObject* exception_object(const Error& error);

}  // namespace pelmora::py
