#include "python/convert.hpp"

#include <string>

#include "python/errors.hpp"
#include "python/pyref.hpp"

namespace pelmora::py {

namespace {

// A Python exception is set while converting `param`: a TypeError names the parameter.
void name_parameter(const char* param) {
    raise(error(ErrorKind::Argument, param));
}

bool raw_unsigned(PyObject* obj, unsigned long max, unsigned long& out) {
    long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || static_cast<unsigned long>(value) > max) {
        raise(error(ErrorKind::Overflow, "out of range integral type conversion attempted"));
        return false;
    }
    out = static_cast<unsigned long>(value);
    return true;
}

bool raw_text(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        raise_cannot_cast(obj, "str");
        return false;
    }
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) return false;
    out = std::string_view(data, size_t(size));
    return true;
}

// Items of a sequence of 2-tuples, each converted by `convert(first, second)`.
template <class Convert>
bool raw_pairs(PyObject* obj, size_t& hint, Convert&& convert) {
    if (PyUnicode_Check(obj)) {
        raise(error(ErrorKind::Type, "Can't extract `str` to `Vec`"));
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_cannot_cast(obj, "Sequence");
        return false;
    }
    Py_ssize_t len = PySequence_Size(obj);
    if (len < 0) PyErr_Clear();
    // The length only sizes the first reservation, and only a little: it is the object's claim.
    hint = len < 0 ? 0 : (len < 64 ? size_t(len) : 64);
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        if (!PyTuple_Check(item.get())) {
            raise_cannot_cast(item.get(), "tuple");
            return false;
        }
        Py_ssize_t n = PyTuple_GET_SIZE(item.get());
        if (n != 2) {
            raise(error(ErrorKind::Value, "expected tuple of length 2, but got tuple of length " +
                                              std::to_string(n)));
            return false;
        }
        if (!convert(PyTuple_GET_ITEM(item.get(), 0), PyTuple_GET_ITEM(item.get(), 1)))
            return false;
    }
    return !PyErr_Occurred();
}

}  // namespace

bool name_argument(const char* param) {
    name_parameter(param);
    return false;
}

void raise_expected_tuples(const char* param, const char* shape) {
    raise(
        error(ErrorKind::Type, "argument '" + std::string(param) + "': expected tuples " + shape));
}

bool arg_int64(PyObject* obj, const char* param, int64_t& out) {
    const long long value = PyLong_AsLongLong(obj);
    if (value == -1 && PyErr_Occurred()) return name_argument(param);
    out = int64_t(value);
    return true;
}

bool arg_truth(PyObject* obj, const char* param, bool& out) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return name_argument(param);
    out = truth != 0;
    return true;
}

bool arg_fs_path(PyObject* obj, const char* param, FsPath& out) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(obj, &encoded)) return name_argument(param);
    PyRef owner = PyRef::steal(encoded);
    out.bytes.assign(PyBytes_AS_STRING(encoded), size_t(PyBytes_GET_SIZE(encoded)));
    return true;
}

void raise_cannot_cast(PyObject* obj, const char* target) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) return;
    raise(error(ErrorKind::Type,
                "'" + message_text(name.get()) + "' object cannot be cast as '" + target + "'"));
}

bool arg_unsigned(PyObject* obj, const char* param, unsigned long max, unsigned long& out) {
    if (raw_unsigned(obj, max, out)) return true;
    name_parameter(param);
    return false;
}

bool arg_text(PyObject* obj, const char* param, std::string_view& out) {
    if (raw_text(obj, out)) return true;
    name_parameter(param);
    return false;
}

bool arg_double(PyObject* obj, const char* param, double& out) {
    out = PyFloat_AsDouble(obj);
    if (out == -1.0 && PyErr_Occurred()) {
        name_parameter(param);
        return false;
    }
    return true;
}

bool arg_market_codes(PyObject* obj, const char* param, std::vector<MarketCode>& out) {
    size_t hint = 0;
    bool ok = raw_pairs(obj, hint, [&](PyObject* first, PyObject* second) {
        if (out.empty()) out.reserve(hint);
        unsigned long market;
        std::string_view code;
        if (!raw_unsigned(first, 0xFF, market) || !raw_text(second, code)) return false;
        out.emplace_back(uint8_t(market), std::string(code));
        return true;
    });
    if (!ok) name_parameter(param);
    return ok;
}

bool arg_host_ports(PyObject* obj, const char* param, std::vector<HostPort>& out) {
    size_t hint = 0;
    bool ok = raw_pairs(obj, hint, [&](PyObject* first, PyObject* second) {
        if (out.empty()) out.reserve(hint);
        std::string_view host;
        unsigned long port;
        if (!raw_text(first, host) || !raw_unsigned(second, 0xFFFF, port)) return false;
        out.emplace_back(std::string(host), uint16_t(port));
        return true;
    });
    if (!ok) name_parameter(param);
    return ok;
}

}  // namespace pelmora::py
