// PLACEHOLDER: not built yet; replace this whole file.
#include "module/errors.hpp"
#include "module/methods.hpp"

namespace pelmora::py {

PyObject* client_get_transaction_data(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return raise_panic("not implemented"); }
PyObject* client_get_history_transaction_data(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return raise_panic("not implemented"); }

}  // namespace pelmora::py
