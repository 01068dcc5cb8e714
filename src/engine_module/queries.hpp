// The queries of the Pool's calls, converted from their tuples: bars (category, market, code,
// start, count, index); the table kinds (market, code, start, count, date), quotes a sequence of
// (market, code). Tuple subclasses (NamedTuples) are tuples here too.
#pragma once

#include <Python.h>

#include <vector>

#include "engine/batch.hpp"
#include "python/command.hpp"

namespace pelmora::py {

struct BarQuery {
    engine::Query query;
};

template <>
struct ArgType<BarQuery> {
    static bool convert(PyObject* obj, const char* param, BarQuery& out);
};

// A table kind by its name: "securities", "quotes", "xdxr", "finance", "ticks", "minutes".
template <>
struct ArgType<engine::QueryKind> {
    static bool convert(PyObject* obj, const char* param, engine::QueryKind& out);
};

// The queries of one table kind; false with an exception set.
bool table_queries(const std::vector<PyObject*>& items, engine::QueryKind kind,
                   std::vector<engine::Query>& out);

// at_least: one number per query; only the kinds that take one may have one above 0.
bool apply_at_least(const std::vector<uint32_t>& at_least, engine::QueryKind kind,
                    std::vector<engine::Query>& queries);

}  // namespace pelmora::py
