#include "module/binding.hpp"

#include <stdexcept>
#include <string>

namespace pelmora::py {

Signature::Signature(const char* display, std::initializer_list<const char*> names, int required)
    : display_(display),
      count_(int(names.size())),
      required_(required < 0 ? int(names.size()) : required) {
    if (count_ > kMaxParams) throw std::logic_error("too many parameters");
    int i = 0;
    for (const char* name : names) {
        names_[i] = name;
        // Keyword names are interned once, so that most lookups match by identity.
        interned_[i] = PyUnicode_InternFromString(name);
        if (!interned_[i]) throw std::bad_alloc();
        ++i;
    }
}

int Signature::find(PyObject* keyword) const {
    for (int i = 0; i < count_; ++i)
        if (interned_[i] == keyword) return i;
    for (int i = 0; i < count_; ++i) {
        int eq = PyUnicode_Compare(interned_[i], keyword);
        if (eq == 0) return i;
        if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return -1;
}

bool Signature::too_many(Py_ssize_t given) const {
    const char* verb = given == 1 ? "was" : "were";
    if (required_ == count_)
        PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", display_,
                     count_, given, verb);
    else
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %d to %d positional arguments but %zd %s given", display_,
                     required_, count_, given, verb);
    return false;
}

bool Signature::missing(PyObject* const* out) const {
    int absent[kMaxParams];
    int n = 0;
    for (int i = 0; i < required_; ++i)
        if (!out[i]) absent[n++] = i;
    if (n == 0) return true;
    // 'a' / 'a' and 'b' / 'a', 'b', and 'c', as CPython words it.
    std::string names;
    for (int k = 0; k < n; ++k) {
        if (k > 0) names += n == 2 ? " and " : (k == n - 1 ? ", and " : ", ");
        names += '\'';
        names += names_[absent[k]];
        names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %d required positional %s: %s", display_, n,
                 n == 1 ? "argument" : "arguments", names.c_str());
    return false;
}

bool Signature::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out) const {
    if (nargs > count_) return too_many(nargs);
    for (int i = 0; i < count_; ++i) out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int i = find(key);
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", display_,
                         key);
            return false;
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", display_,
                         names_[i]);
            return false;
        }
        out[i] = args[nargs + k];
    }
    return missing(out);
}

bool Signature::bind_tuple(PyObject* args, PyObject* kwargs, PyObject** out) const {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > count_) return too_many(nargs);
    for (int i = 0; i < count_; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            int i = PyUnicode_Check(key) ? find(key) : -1;
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                             display_, key);
                return false;
            }
            if (out[i]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", display_,
                             names_[i]);
                return false;
            }
            out[i] = value;
        }
    }
    return missing(out);
}

}  // namespace pelmora::py
