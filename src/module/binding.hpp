// Argument binding for every callable of the module, driven by one parameter table per callable.
#pragma once

#include <Python.h>

#include <initializer_list>

namespace pelmora::py {

inline constexpr int kMaxParams = 6;

// The parameter list of one callable. All parameters may be given by position or keyword.
class Signature {
public:
    // `display` is the name used in messages, with its parentheses: "TdxClient.connect()".
    Signature(const char* display, std::initializer_list<const char*> names, int required = -1);

    // Fills out[0..count) with borrowed references, nullptr for an omitted optional parameter.
    // Returns false with TypeError set when the arguments do not bind.
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;
    // The same rules for a tp_new/tp_call style argument tuple and keyword dict.
    bool bind_tuple(PyObject* args, PyObject* kwargs, PyObject** out) const;

    const char* display() const { return display_; }
    int count() const { return count_; }

private:
    int find(PyObject* keyword) const;
    bool too_many(Py_ssize_t given) const;
    bool missing(PyObject* const* out) const;

    const char* display_;
    const char* names_[kMaxParams];
    PyObject* interned_[kMaxParams];
    int count_;
    int required_;
};

}  // namespace pelmora::py
