#include "module/client.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/methods.hpp"

namespace pelmora::py {

PyObject* client_connect(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.connect()", {"ip", "port"});
        MethodCall call(sig, args, nargs, kwnames);
        if (!call.ok()) return nullptr;
        std::string_view ip;
        uint16_t port;
        if (!arg_text(call[0], "ip", ip) || !arg_uint(call[1], "port", port)) return nullptr;
        if (!check(call.client()->connection.connect(ip, port, python_signal_raised)))
            return nullptr;
        Py_RETURN_TRUE;
    });
}

}  // namespace pelmora::py
