#include "python/errors.hpp"

#include <cerrno>

#include "python/pyref.hpp"

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

// Puts "argument '<param>': " before the message of a TypeError (of exactly that type).
void name_parameter(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(tb);
    Py_DECREF(type);
    PyRef cause = PyRef::steal(value);
    PyErr_Format(PyExc_TypeError, "argument '%s': %S", param, cause.get());
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    PyException_SetCause(v2, cause.release());  // steals
    PyErr_Restore(t2, v2, tb2);
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
        case ErrorKind::Type:
            type = PyExc_TypeError;
            break;
        case ErrorKind::Overflow:
            type = PyExc_OverflowError;
            break;
        case ErrorKind::Import:
            type = PyExc_ImportError;
            break;
        case ErrorKind::Key:
            type = PyExc_KeyError;
            break;
        case ErrorKind::Buffer:
            type = PyExc_BufferError;
            break;
        case ErrorKind::NoMemory:
            return PyErr_NoMemory();
        case ErrorKind::Panic:
            return raise_panic(error.message.c_str());
        case ErrorKind::PythonRaised:
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error without exception");
            return nullptr;
        case ErrorKind::Argument:
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error without exception");
            name_parameter(error.message.c_str());
            return nullptr;
    }
    // The exception's single argument is the message, so errno and filename stay None. The
    // message is taken whole: a path quoted in it may hold a NUL character.
    // Type errors may quote a keyword holding a lone surrogate, carried through.
    PyObject* text =
        PyUnicode_DecodeUTF8(error.message.data(), Py_ssize_t(error.message.size()),
                             error.kind == ErrorKind::Type ? "surrogatepass" : "replace");
    if (!text) return nullptr;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    return nullptr;
}

PyObject* invalid_argument(std::string message) {
    return raise(error(ErrorKind::Value, std::move(message)));
}

std::string repr_text(PyObject* obj) {
    PyRef text = PyRef::steal(PyObject_Repr(obj));
    if (!text) {
        PyErr_Clear();
        return "?";
    }
    return message_text(text.get());
}

std::string message_text(PyObject* obj) {
    PyRef text = PyRef::steal(PyObject_Str(obj));
    PyRef bytes = PyRef::steal(
        text ? PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass") : nullptr);
    if (!bytes) {
        PyErr_Clear();
        return "?";
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), size_t(PyBytes_GET_SIZE(bytes.get())));
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
