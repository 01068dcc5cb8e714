// Python side of the table kinds: TableBatch (the tables of a batch's requests, concatenated in
// request order, as named columns) and the Pool methods that run such queries.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "engine/pool.hpp"

namespace pelmora::py {

extern PyTypeObject TableBatchType;

// Pool.table(kind, queries, progress, at_least): runs the queries of one kind; a TableBatch.
PyObject* run_table_queries(engine::Pool* pool, PyObject* kind, PyObject* queries,
                            PyObject* progress, PyObject* at_least);

// Pool.security_count(market, at_least).
PyObject* run_security_count(engine::Pool* pool, PyObject* market, PyObject* at_least);

}  // namespace pelmora::py
