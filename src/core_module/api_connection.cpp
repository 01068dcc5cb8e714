#include "core_module/client.hpp"
#include "core_module/methods.hpp"
#include "python/command.hpp"

namespace pelmora::py {

namespace {

struct Connect {
    static constexpr const char* doc = "connect($self, ip, port)\n--\n\n";
    PyObject* operator()(MethodCall& call, std::string_view ip, uint16_t port) const {
        if (!check(call.client()->connection.connect(ip, port, python_signal_raised)))
            return nullptr;
        Py_RETURN_TRUE;
    }
};

}  // namespace

std::span<const PyMethodDef> connection_methods() {
    return method_defs<Connect>();
}

}  // namespace pelmora::py
