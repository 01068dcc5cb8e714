#include "core_module/client.hpp"

#include <new>
#include <string>

#include "core_module/methods.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/pyref.hpp"

namespace pelmora::py {

MethodCall::MethodCall(const Signature& sig, PyObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    if (nargs == 0) {
        raise(error(ErrorKind::Type,
                    std::string("unbound method ") + sig.display() + " needs an argument"));
        return;
    }
    if (!sig.bind(args + 1, nargs - 1, kwnames, args_)) return;
    PyObject* self = args[0];
    if (!PyObject_TypeCheck(self, &TdxClientType)) {
        raise_cannot_cast(self, "TdxClient");
        return;
    }
    auto* client = reinterpret_cast<ClientObject*>(self);
    int64_t expected = 0;
    if (!client->borrow.compare_exchange_strong(expected, -1)) {
        raise(error(ErrorKind::Runtime, "Already borrowed"));
        return;
    }
    client_ = client;
}

MethodCall::~MethodCall() {
    if (client_) client_->borrow.store(0);
}

net::Connection* MethodCall::connection() {
    if (client_->connection.connected()) return &client_->connection;
    raise(error(ErrorKind::Connection, "Not connected"));
    return nullptr;
}

bool MethodCall::fetch(const Bytes& request, Bytes& body) {
    net::Connection* conn = connection();
    return conn && check(conn->fetch(request, body, python_signal_raised));
}

namespace {

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.__new__()", {});
        PyObject* none[1];
        if (!sig.bind_tuple(args, kwargs, none)) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        auto* client = reinterpret_cast<ClientObject*>(self);
        new (&client->connection) net::Connection();
        new (&client->borrow) std::atomic<int64_t>(0);
        return self;
    });
}

void client_dealloc(PyObject* self) {
    auto* client = reinterpret_cast<ClientObject*>(self);
    // Closes a socket still held, without a shutdown.
    client->connection.~Connection();
    Py_TYPE(self)->tp_free(self);
}

// disconnect takes no arguments at all, so CPython's no-argument convention does the binding.
PyObject* client_disconnect(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        static const Signature sig("TdxClient.disconnect()", {});
        PyObject* args[1] = {self};
        MethodCall call(sig, nullptr, args, 1, nullptr);
        if (!call.ok()) return nullptr;
        call.client()->connection.disconnect();
        Py_RETURN_NONE;
    });
}

PyMethodDef client_native_methods[] = {
    {"disconnect", client_disconnect, METH_NOARGS, "disconnect($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject TdxClientType = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = "TdxClient";
    t.tp_basicsize = sizeof(ClientObject);
    t.tp_dealloc = client_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = "TdxClient()\n--\n\n";
    t.tp_methods = client_native_methods;
    t.tp_new = client_new;
    return t;
}();

bool init_client_type() {
    if (PyType_Ready(&TdxClientType) < 0) return false;
    // The other methods are plain functions wrapped to bind like Python methods: calling one
    // through the class with any object as self reaches our own type check and its message.
    for (PyMethodDef* def = client_methods(); def->ml_name; ++def) {
        PyRef fn = PyRef::steal(PyCFunction_NewEx(def, nullptr, nullptr));
        if (!fn) return false;
        PyRef method = PyRef::steal(PyInstanceMethod_New(fn.get()));
        if (!method || PyDict_SetItemString(TdxClientType.tp_dict, def->ml_name, method.get()) < 0)
            return false;
    }
    PyType_Modified(&TdxClientType);
    return true;
}

}  // namespace pelmora::py
