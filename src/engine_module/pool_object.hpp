// The Python type Pool: a pelmora::engine::Pool owned by a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pelmora::py {

extern PyTypeObject PoolType;

}  // namespace pelmora::py
