// One declaration per callable of a module: a struct whose `doc` opens with the text signature
// ("name($self, a, b=0.01)\n--\n\n..."), which gives the parameter names, which of them are
// optional and their defaults, and whose operator() takes the converted values; its parameter
// types say how each argument converts. A method's operator() takes its receiver first (see
// Receiver below). method_def<D>() makes the PyMethodDef, new_entry<D> a type's tp_new; the
// entry point binds, converts and calls.
#pragma once

#include <Python.h>

#include <concepts>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/pyref.hpp"

namespace pelmora::py {

// How an argument of C++ type T is converted: convert(obj, param, out), and parse(text, out) for
// a default written in the text signature. A module adds its own types by specialising it.
template <class T>
struct ArgType;

template <class T>
requires std::is_unsigned_v<T> &&(!std::is_same_v<T, bool>)struct ArgType<T> {
    static bool convert(PyObject* obj, const char* param, T& out) {
        return arg_uint(obj, param, out);
    }
    static bool parse(const char* text, T& out) {
        out = T(std::strtoul(text, nullptr, 10));
        return true;
    }
};
template <>
struct ArgType<int64_t> {
    static bool convert(PyObject* obj, const char* param, int64_t& out) {
        return arg_int64(obj, param, out);
    }
    static bool parse(const char* text, int64_t& out) {
        out = std::strtoll(text, nullptr, 10);
        return true;
    }
};
template <>
struct ArgType<bool> {
    static bool convert(PyObject* obj, const char* param, bool& out) {
        return arg_truth(obj, param, out);
    }
    static bool parse(const char* text, bool& out) {
        out = std::strcmp(text, "True") == 0;
        if (!out && std::strcmp(text, "False") != 0)
            throw std::logic_error("a bool default must be True or False");
        return true;
    }
};
template <>
struct ArgType<double> {
    static bool convert(PyObject* obj, const char* param, double& out) {
        return arg_double(obj, param, out);
    }
    static bool parse(const char* text, double& out) {
        out = std::strtod(text, nullptr);
        return true;
    }
};
template <>
struct ArgType<std::string_view> {
    static bool convert(PyObject* obj, const char* param, std::string_view& out) {
        return arg_text(obj, param, out);
    }
};
template <>
struct ArgType<std::string> {
    static bool convert(PyObject* obj, const char* param, std::string& out) {
        std::string_view text;
        if (!arg_text(obj, param, text)) return false;
        out.assign(text);
        return true;
    }
};
template <>
struct ArgType<TextArg> {
    static bool convert(PyObject* obj, const char* param, TextArg& out) {
        out.object = obj;
        return arg_text(obj, param, out.text);
    }
};
template <>
struct ArgType<FsPath> {
    static bool convert(PyObject* obj, const char* param, FsPath& out) {
        return arg_fs_path(obj, param, out);
    }
};
// Any object, borrowed from the call; the body converts it.
template <>
struct ArgType<PyObject*> {
    static bool convert(PyObject* obj, const char*, PyObject*& out) {
        out = obj;
        return true;
    }
};
template <>
struct ArgType<Callback> {
    static bool convert(PyObject* obj, const char*, Callback& out) {
        out.object = obj == Py_None ? nullptr : obj;
        return true;
    }
    static bool parse(const char*, Callback& out) {
        out.object = nullptr;  // the only default a callback has is None
        return true;
    }
};
// None (or the default None) as an empty optional, anything else converted as T.
template <class T>
struct ArgType<std::optional<T>> {
    static bool convert(PyObject* obj, const char* param, std::optional<T>& out) {
        if (obj == Py_None) {
            out.reset();
            return true;
        }
        return ArgType<T>::convert(obj, param, out.emplace());
    }
    static bool parse(const char* text, std::optional<T>& out) {
        if (std::strcmp(text, "None") == 0) {
            out.reset();
            return true;
        }
        if constexpr (requires(const char* t, T& v) { ArgType<T>::parse(t, v); })
            return ArgType<T>::parse(text, out.emplace());
        else
            throw std::logic_error("a default for a parameter type that has none");
    }
};
// A sequence, each item converted as T.
template <class T>
struct ArgType<std::vector<T>> {
    static bool convert(PyObject* obj, const char* param, std::vector<T>& out) {
        PyRef seq = PyRef::steal(PySequence_Fast(obj, "expected a sequence"));
        if (!seq) return name_argument(param);
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        out.resize(size_t(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!ArgType<T>::convert(PySequence_Fast_GET_ITEM(seq.get(), i), param, out[size_t(i)]))
                return false;
        return true;
    }
};
template <>
struct ArgType<std::vector<MarketCode>> {
    static bool convert(PyObject* obj, const char* param, std::vector<MarketCode>& out) {
        return arg_market_codes(obj, param, out);
    }
};
template <>
struct ArgType<std::vector<HostPort>> {
    static bool convert(PyObject* obj, const char* param, std::vector<HostPort>& out) {
        return arg_host_ports(obj, param, out);
    }
};

// The items of a tuple (a subclass such as a NamedTuple too) of exactly sizeof...(A) items,
// each converted as its type says; TypeError "argument '<param>': expected tuples <shape>" for
// anything else.
template <class... A>
bool arg_tuple(PyObject* obj, const char* param, const char* shape, std::tuple<A...>& out) {
    if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != Py_ssize_t(sizeof...(A))) {
        raise_expected_tuples(param, shape);
        return false;
    }
    return [&]<size_t... I>(std::index_sequence<I...>) {
        return (
            ArgType<A>::convert(PyTuple_GET_ITEM(obj, Py_ssize_t(I)), param, std::get<I>(out)) &&
            ...);
    }
    (std::index_sequence_for<A...>{});
}

// A receiver is what a method's operator() takes first: a type R with
//   static constexpr const char* type_name;        // "TdxClient", for messages
//   R(const Signature&, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
//     PyObject* kwnames);                          // binds the arguments
//   bool ok() const; PyObject* const* bound() const;
// that holds whatever a call on its object needs for as long as it runs.
template <class R>
concept Receiver = requires(const R& r) {
    { R::type_name } -> std::convertible_to<const char*>;
    { r.ok() } -> std::same_as<bool>;
    { r.bound() } -> std::same_as<PyObject* const*>;
};

// The receiver of a method in a type's tp_methods: the object (a T, naming its type as
// T::type_name) and the arguments bound.
template <class T>
class Bound {
public:
    static constexpr const char* type_name = T::type_name;

    Bound(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames)
        : self_(self) {
        ok_ = sig.bind(args, nargs, kwnames, args_);
    }
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;

    bool ok() const { return ok_; }
    PyObject* const* bound() const { return args_; }
    PyObject* self() const { return self_; }
    T& object() const { return *reinterpret_cast<T*>(self_); }

private:
    PyObject* self_;
    PyObject* args_[kMaxParams] = {};
    bool ok_ = false;
};

// The parameter types of a declaration's operator(), without a method's receiver or a
// constructor's type.
template <class M>
struct Callable;
template <class D, class... A>
struct Callable<PyObject* (D::*)(A...) const> {
    using Self = void;
    using Values = std::tuple<std::remove_cvref_t<A>...>;
};
template <class D, class R, class... A>
requires Receiver<R>
struct Callable<PyObject* (D::*)(R&, A...) const> {
    using Self = R;
    using Values = std::tuple<std::remove_cvref_t<A>...>;
};
template <class D, class... A>
struct Callable<PyObject* (D::*)(PyTypeObject*, A...) const> {
    using Self = PyTypeObject;
    using Values = std::tuple<std::remove_cvref_t<A>...>;
};

template <class T>
bool convert_arg(const Signature& sig, int i, PyObject* obj, T& out) {
    if (!obj) {
        // Only an optional parameter is ever omitted.
        if constexpr (requires(const char* text) { ArgType<T>::parse(text, out); })
            return ArgType<T>::parse(sig.default_text(i), out);
        else
            throw std::logic_error("a default for a parameter type that has none");
    }
    return ArgType<T>::convert(obj, sig.name(i), out);
}

// Converts bound[0..) in order, stopping at the first failure, then calls body(values...).
template <class Values, class Body>
PyObject* convert_then_call(const Signature& sig, PyObject* const* bound, Body&& body) {
    Values values{};
    const bool ok = [&]<size_t... I>(std::index_sequence<I...>) {
        return (convert_arg(sig, int(I), bound[I], std::get<I>(values)) && ...);
    }
    (std::make_index_sequence<std::tuple_size_v<Values>>{});
    if (!ok) return nullptr;
    return std::apply(body, values);
}

template <class D>
using CallableOf = Callable<decltype(&D::operator())>;

template <class D>
const Signature& signature_of() {
    using C = CallableOf<D>;
    constexpr int count = int(std::tuple_size_v<typename C::Values>);
    if constexpr (Receiver<typename C::Self>) {
        static const Signature sig(D::doc, count, C::Self::type_name);
        return sig;
    } else {
        static const Signature sig(D::doc, count);
        return sig;
    }
}

template <class D>
PyObject* command_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        using C = CallableOf<D>;
        const Signature& sig = signature_of<D>();
        if constexpr (Receiver<typename C::Self>) {
            typename C::Self call(sig, self, args, nargs, kwnames);
            if (!call.ok()) return nullptr;
            return convert_then_call<typename C::Values>(
                sig, call.bound(), [&](auto&... values) { return D{}(call, values...); });
        } else {
            PyObject* bound[kMaxParams];
            if (!sig.bind(args, nargs, kwnames, bound)) return nullptr;
            return convert_then_call<typename C::Values>(
                sig, bound, [&](auto&... values) { return D{}(values...); });
        }
    });
}

// tp_new of a type declared as D, whose operator() takes the type first.
template <class D>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        using C = CallableOf<D>;
        static_assert(std::is_same_v<typename C::Self, PyTypeObject>);
        const Signature& sig = signature_of<D>();
        PyObject* bound[kMaxParams];
        if (!sig.bind_tuple(args, kwargs, bound)) return nullptr;
        return convert_then_call<typename C::Values>(
            sig, bound, [&](auto&... values) { return D{}(type, values...); });
    });
}

template <class D>
PyMethodDef method_def() {
    static const std::string name = signature_name(D::doc);
    return {name.c_str(),
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(command_entry<D>)),
            METH_FASTCALL | METH_KEYWORDS, D::doc};
}

// The method definitions of a family of declarations, in order.
template <class... D>
std::span<const PyMethodDef> method_defs() {
    static const PyMethodDef defs[] = {method_def<D>()...};
    return defs;
}

}  // namespace pelmora::py
