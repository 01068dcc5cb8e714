// Python side of the table kinds: TableBatch, the tables of a batch's requests, concatenated in
// request order, as named columns.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/batch.hpp"
#include "engine/table_columns.hpp"

namespace pelmora::py {

extern PyTypeObject TableBatchType;

// Every successful request's table of a finished batch, concatenated in request order, and the
// rows of each (0 for a failed one). Touches no Python object.
void gather_tables(engine::Batch& batch, engine::QueryKind kind, engine::TableColumns& table,
                   std::vector<int64_t>& counts);

// A new TableBatch of the gathered tables of `batch`.
PyObject* new_table_batch(std::shared_ptr<engine::Batch> batch, engine::TableColumns table,
                          std::vector<int64_t> counts);

}  // namespace pelmora::py
