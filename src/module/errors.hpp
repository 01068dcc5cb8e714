// The one place where failures of the core become Python exceptions.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "common/error.hpp"

namespace pelmora::py {

// Raises the exception for `error` and returns nullptr (for `return raise(...)`).
PyObject* raise(const Error& error);

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
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise_panic(e.what());
    } catch (...) {
        return raise_panic("unknown C++ exception");
    }
}

}  // namespace pelmora::py
