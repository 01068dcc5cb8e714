// One declaration per callable of the module: a struct whose `doc` opens with the text signature
// ("name($self, a, b=0.01)\n--\n\n..."), which gives the parameter names, which of them are
// optional and their defaults, and whose operator() takes the converted values; its parameter
// types say how each argument converts. A method's operator() takes the MethodCall first.
// method_def<D>() makes the PyMethodDef; the entry point binds, converts and calls.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "module/binding.hpp"
#include "module/client.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"

namespace pelmora::py {

// How an argument of C++ type T is converted: convert(obj, param, out), and parse(text, out) for
// a default written in the text signature.
template <class T>
struct ArgType;

template <class T>
requires std::is_unsigned_v<T>
struct ArgType<T> {
    static bool convert(PyObject* obj, const char* param, T& out) {
        return arg_uint(obj, param, out);
    }
    static bool parse(const char* text, T& out) {
        out = T(std::strtoul(text, nullptr, 10));
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
struct ArgType<TextArg> {
    static bool convert(PyObject* obj, const char* param, TextArg& out) {
        out.object = obj;
        return arg_text(obj, param, out.text);
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

// The parameter types of a declaration's operator(), without the MethodCall of a method.
template <class M>
struct Callable;
template <class D, class... A>
struct Callable<PyObject* (D::*)(A...) const> {
    static constexpr bool method = false;
    using Values = std::tuple<std::remove_cvref_t<A>...>;
};
template <class D, class... A>
struct Callable<PyObject* (D::*)(MethodCall&, A...) const> {
    static constexpr bool method = true;
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
PyObject* command_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        using C = Callable<decltype(&D::operator())>;
        static const Signature sig(D::doc, int(std::tuple_size_v<typename C::Values>));
        if constexpr (C::method) {
            MethodCall call(sig, args, nargs, kwnames);
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
