// The TdxClient type and the life of one method call on it.
#pragma once

#include <Python.h>

#include <atomic>

#include "network/connection.hpp"
#include "python/binding.hpp"

namespace pelmora::py {

struct ClientObject {
    PyObject_HEAD net::Connection connection;
    std::atomic<int64_t> borrow;  // 0 free, -1 held by a method call
};

extern PyTypeObject TdxClientType;

// Readies the type and installs its methods; false with an exception set.
bool init_client_type();

// One method call: binds the arguments (self is the first positional), then holds the client's
// exclusive borrow until destroyed. Check ok() before anything else.
class MethodCall {
public:
    static constexpr const char* type_name = "TdxClient";

    // The methods are plain functions in the type's dict, bound to no object: `self` is null and
    // the client is the first positional argument.
    MethodCall(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames);
    MethodCall(const MethodCall&) = delete;
    MethodCall& operator=(const MethodCall&) = delete;
    ~MethodCall();

    bool ok() const { return client_ != nullptr; }
    PyObject* const* bound() const { return args_; }
    ClientObject* client() const { return client_; }

    // The connection, or nullptr with ConnectionError "Not connected" raised.
    net::Connection* connection();
    // One request/response exchange; false with the exception raised.
    bool fetch(const Bytes& request, Bytes& body);

private:
    ClientObject* client_ = nullptr;
    PyObject* args_[kMaxParams] = {};
};

}  // namespace pelmora::py
