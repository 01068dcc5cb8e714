#include "python/binding.hpp"

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "python/errors.hpp"
#include "python/pyref.hpp"

namespace pelmora::py {

namespace {

Error type_error(std::string text) {
    return Error{ErrorKind::Type, std::move(text), 0};
}

}  // namespace

std::string signature_name(const char* text) {
    return std::string(text, std::strcspn(text, "("));
}

Signature::Signature(const char* display, std::initializer_list<const char*> names, int required)
    : display_(display),
      count_(int(names.size())),
      required_(required < 0 ? int(names.size()) : required) {
    if (count_ > kMaxParams) throw std::logic_error("too many parameters");
    int i = 0;
    for (const char* name : names) names_[i++] = name;
    intern_names();
}

Signature::Signature(const char* text, int expected, const char* owner) {
    std::string_view rest(text);
    const size_t open = rest.find('('), close = rest.find(')');
    if (open == rest.npos || close == rest.npos || close < open)
        throw std::logic_error("no text signature");
    const std::string name(rest.substr(0, open));
    std::string_view params = rest.substr(open + 1, close - open - 1);
    bool method = false;
    bool optional = false;
    while (!params.empty()) {
        const size_t comma = params.find(',');
        std::string_view p = params.substr(0, comma);
        params = comma == params.npos ? std::string_view() : params.substr(comma + 1);
        while (!p.empty() && p.front() == ' ') p.remove_prefix(1);
        if (p == "$self") {
            method = true;
            continue;
        }
        if (count_ == kMaxParams) throw std::logic_error("too many parameters");
        const size_t eq = p.find('=');
        names_[count_] = std::string(p.substr(0, eq));
        if (eq != p.npos) {
            defaults_[count_] = std::string(p.substr(eq + 1));
            optional = true;
        } else if (optional) {
            throw std::logic_error("a required parameter after an optional one");
        } else {
            required_ = count_ + 1;
        }
        ++count_;
    }
    if (count_ != expected) throw std::logic_error("text signature of " + name + " disagrees");
    if (method && !owner) throw std::logic_error("a method of no type: " + name);
    display_ = (method ? std::string(owner) + "." : std::string()) + name + "()";
    intern_names();
}

void Signature::intern_names() {
    for (int i = 0; i < count_; ++i) {
        // Keyword names are interned once, so that most lookups match by identity.
        interned_[i] = PyUnicode_InternFromString(names_[i].c_str());
        if (!interned_[i]) throw std::bad_alloc();
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
    const std::string verb = given == 1 ? " was given" : " were given";
    const std::string n = std::to_string(given);
    if (required_ == count_)
        raise(type_error(display_ + " takes " + std::to_string(count_) +
                         " positional arguments but " + n + verb));
    else
        raise(type_error(display_ + " takes from " + std::to_string(required_) + " to " +
                         std::to_string(count_) + " positional arguments but " + n + verb));
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
        names += '\'' + names_[absent[k]] + '\'';
    }
    raise(type_error(display_ + " missing " + std::to_string(n) + " required positional " +
                     (n == 1 ? "argument" : "arguments") + ": " + names));
    return false;
}

bool Signature::unexpected(PyObject* keyword) const {
    raise(type_error(display_ + " got an unexpected keyword argument '" + message_text(keyword) +
                     "'"));
    return false;
}

bool Signature::multiple(int i) const {
    raise(type_error(display_ + " got multiple values for argument '" + names_[i] + "'"));
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
        if (i < 0) return unexpected(key);
        if (out[i]) return multiple(i);
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
            if (i < 0) return unexpected(key);
            if (out[i]) return multiple(i);
            out[i] = value;
        }
    }
    return missing(out);
}

}  // namespace pelmora::py
