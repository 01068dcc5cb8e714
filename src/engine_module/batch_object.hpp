// Python views of a finished batch: BarBatch (row counts, errors, columns) and Column, which
// exports one column's memory through the buffer protocol, so numpy sees it without a copy.
#pragma once

#include <Python.h>

#include <memory>
#include <string_view>

#include "engine/batch.hpp"

namespace pelmora::py {

extern PyTypeObject BarBatchType;
extern PyTypeObject ColumnType;

// A new BarBatch owning `batch`, which must be compacted.
PyObject* new_bar_batch(std::shared_ptr<engine::Batch> batch);

// A Column over `rows` 8-byte values at `data` ('q' or 'd'), a block of `columns` columns of
// them when `columns` > 0; `owner` keeps the memory alive.
PyObject* make_column(PyObject* owner, void* data, size_t columns, size_t rows, char format);

// errors() of a batch object: [(request index, exception)] of the requests that failed.
PyObject* error_list(const engine::Batch& batch);

// The name `column(name)` of a batch object was given, or false with TypeError set.
bool column_name(PyObject* arg, std::string_view& name);

// KeyError "no column 'name'"; returns null.
PyObject* no_column(PyObject* name);

}  // namespace pelmora::py
