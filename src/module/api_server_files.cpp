// PLACEHOLDER: not built yet; replace this whole file.
#include "module/errors.hpp"
#include "module/methods.hpp"

namespace pelmora::py {

PyObject* client_get_block_info_meta(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return raise_panic("not implemented"); }
PyObject* client_get_block_info(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return raise_panic("not implemented"); }
PyObject* client_get_report_file(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return raise_panic("not implemented"); }

}  // namespace pelmora::py
