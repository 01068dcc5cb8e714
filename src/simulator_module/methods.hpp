// The module's functions (METH_FASTCALL | METH_KEYWORDS), each in its own file.
#pragma once

#include <Python.h>

namespace pelmora::py {

PyObject* intraday_bars(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw);
PyObject* day_ticks(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw);

}  // namespace pelmora::py
