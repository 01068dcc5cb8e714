// PLACEHOLDER: not built yet; replace this whole file.
#include "module/errors.hpp"
#include "module/methods.hpp"

namespace pelmora::py {

PyObject* ping_servers(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return raise_panic("not implemented"); }

}  // namespace pelmora::py
