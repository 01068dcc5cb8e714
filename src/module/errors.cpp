#include "module/errors.hpp"

#include <cerrno>

namespace pelmora::py {

namespace {

PyObject* panic_type = nullptr;

// Exception type of an I/O error, by its system error number.
PyObject* io_exception_type(int errnum) {
    struct Row {
        int errnum;
        PyObject* type;
    };
    const Row table[] = {
        {ENOENT, PyExc_FileNotFoundError},
        {EPERM, PyExc_PermissionError},
        {EACCES, PyExc_PermissionError},
        {ECONNREFUSED, PyExc_ConnectionRefusedError},
        {ECONNRESET, PyExc_ConnectionResetError},
        {ECONNABORTED, PyExc_ConnectionAbortedError},
        {EPIPE, PyExc_BrokenPipeError},
        {EEXIST, PyExc_FileExistsError},
        {EAGAIN, PyExc_BlockingIOError},
        {EWOULDBLOCK, PyExc_BlockingIOError},
        {ENOTDIR, PyExc_NotADirectoryError},
        {EISDIR, PyExc_IsADirectoryError},
        {ETIMEDOUT, PyExc_TimeoutError},
        {EINTR, PyExc_InterruptedError},
        {ENOMEM, PyExc_MemoryError},
    };
    for (const Row& row : table)
        if (row.errnum == errnum) return row.type;
    return PyExc_OSError;
}

}  // namespace

PyObject* raise(const Error& error) {
    PyObject* type = nullptr;
    switch (error.kind) {
        case ErrorKind::Io:
            type = io_exception_type(error.os_errno);
            break;
        case ErrorKind::Connection:
            type = PyExc_ConnectionError;
            break;
        case ErrorKind::Value:
            type = PyExc_ValueError;
            break;
        case ErrorKind::Os:
            type = PyExc_OSError;
            break;
        case ErrorKind::FileNotFound:
            type = PyExc_FileNotFoundError;
            break;
        case ErrorKind::Runtime:
            type = PyExc_RuntimeError;
            break;
        case ErrorKind::Panic:
            return raise_panic(error.message.c_str());
        case ErrorKind::PythonRaised:
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error without exception");
            return nullptr;
    }
    // The exception's single argument is the message, so errno and filename stay None. The
    // message is taken whole: a path quoted in it may hold a NUL character.
    PyObject* text =
        PyUnicode_DecodeUTF8(error.message.data(), Py_ssize_t(error.message.size()), "replace");
    if (!text) return nullptr;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    return nullptr;
}

bool python_signal_raised() {
    return PyErr_CheckSignals() != 0;
}

bool init_panic_exception() {
    if (panic_type) return true;
    // Defined in Python so that the package can re-export it; created once per process.
    PyObject* mod = PyImport_ImportModule("pelmora.exceptions");
    if (!mod) return false;
    panic_type = PyObject_GetAttrString(mod, "PanicException");
    Py_DECREF(mod);
    return panic_type != nullptr;
}

PyObject* raise_panic(const char* message) {
    PyErr_SetString(panic_type ? panic_type : PyExc_SystemError, message);
    return nullptr;
}

}  // namespace pelmora::py
