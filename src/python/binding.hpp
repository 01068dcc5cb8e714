// Argument binding for every callable of the modules, driven by one parameter table per callable.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <string>

namespace pelmora::py {

inline constexpr int kMaxParams = 8;

// The parameter list of one callable. All parameters may be given by position or keyword.
class Signature {
public:
    // `display` is the name used in messages, with its parentheses: "TdxClient.connect()".
    Signature(const char* display, std::initializer_list<const char*> names, int required = -1);
    // From a text signature "name($self, a, b=0.01)...": "$self" makes it a method of the type
    // named `owner`, "=" an optional parameter with that default. Throws std::logic_error unless
    // it has exactly `expected` parameters.
    Signature(const char* text, int expected, const char* owner = nullptr);

    // Fills out[0..count) with borrowed references, nullptr for an omitted optional parameter.
    // Returns false with TypeError set when the arguments do not bind.
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;
    // The same rules for a tp_new/tp_call style argument tuple and keyword dict.
    bool bind_tuple(PyObject* args, PyObject* kwargs, PyObject** out) const;

    const char* display() const { return display_.c_str(); }
    int count() const { return count_; }
    const char* name(int i) const { return names_[i].c_str(); }
    const char* default_text(int i) const { return defaults_[i].c_str(); }

private:
    void intern_names();
    int find(PyObject* keyword) const;
    bool too_many(Py_ssize_t given) const;
    bool missing(PyObject* const* out) const;
    bool unexpected(PyObject* keyword) const;
    bool multiple(int i) const;

    std::string display_;
    std::string names_[kMaxParams];
    std::string defaults_[kMaxParams];
    PyObject* interned_[kMaxParams];
    int count_ = 0;
    int required_ = 0;
};

// The callable's name: the text signature up to its parenthesis.
std::string signature_name(const char* text);

}  // namespace pelmora::py
