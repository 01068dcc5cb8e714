// ArrowTable: columns handed to pyarrow, polars, duckdb (any Arrow consumer) through the Arrow
// PyCapsule interface, the numeric ones without a copy.
#pragma once

#include <Python.h>

namespace pelmora::py {

extern PyTypeObject ArrowTableType;

}  // namespace pelmora::py
