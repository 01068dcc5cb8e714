// The columns an ArrowTable exports, taken from Python: numeric data as the exporters' own
// buffers (views held, never copied), text built once into offsets and bytes.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "common/arrow_export.hpp"

namespace pelmora::py {

// A Table of the (name, kind, data, dictionary) tuples `items`, whose views and text are let go
// of, with the interpreter lock, when the last export of it is released; false with TypeError or
// ValueError naming the column set.
bool arrow_columns(const std::vector<PyObject*>& items, uint64_t chunk_rows,
                   arrow::SharedTable& out);

}  // namespace pelmora::py
