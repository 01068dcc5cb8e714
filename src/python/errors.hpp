// The one place where failures of the core become Python exceptions.
#pragma once

#include <Python.h>

#include <string>

#include "common/error.hpp"

namespace pelmora::py {

// Raises the exception for `error` and returns nullptr (for `return raise(...)`).
PyObject* raise(const Error& error);

// ValueError with `message`: an argument that converted but is out of its range or does not
// fit the others. Returns nullptr.
PyObject* invalid_argument(std::string message);

// repr(obj) as UTF-8, for a message.
std::string repr_text(PyObject* obj);

// str(obj) as UTF-8 for a message of ErrorKind::Type; a lone surrogate survives the round trip.
std::string message_text(PyObject* obj);

// Raises `status`'s error if it failed; returns whether it succeeded.
inline bool check(const Status& status) {
    if (status) return true;
    raise(status.error());
    return false;
}

// Signal check handed to the network code: runs the interpreter's signal handlers.
bool python_signal_raised();

// The module's own BaseException subclass for internal failures; set up at module init.
bool init_panic_exception();
PyObject* raise_panic(const char* message);

// Runs an entry point body; no C++ exception crosses into the interpreter.
template <class F>
PyObject* guarded(F&& body) noexcept {
    PyObject* result = nullptr;
    const Status status = contained([&]() -> Status {
        result = body();
        return {};
    });
    return status ? result : raise(status.error());
}

}  // namespace pelmora::py
