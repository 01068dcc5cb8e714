// Conversion of bound arguments to C++ values. Each returns false with a Python exception set;
// a TypeError is renamed "argument '<param>': ..." with the original as its __cause__.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pelmora::py {

bool arg_unsigned(PyObject* obj, const char* param, unsigned long max, unsigned long& out);

template <class T>
bool arg_uint(PyObject* obj, const char* param, T& out) {
    unsigned long value;
    if (!arg_unsigned(obj, param, static_cast<unsigned long>(T(~T(0))), value)) return false;
    out = T(value);
    return true;
}

// A str, as a view of its UTF-8 bytes that lives as long as the object.
bool arg_text(PyObject* obj, const char* param, std::string_view& out);

// A str argument as its UTF-8 text and the object itself, for a result that hands it back.
struct TextArg {
    std::string_view text;
    PyObject* object = nullptr;  // borrowed from the call's arguments
};

bool arg_double(PyObject* obj, const char* param, double& out);
bool arg_int64(PyObject* obj, const char* param, int64_t& out);
// Truth as Python's `bool(obj)` gives it.
bool arg_truth(PyObject* obj, const char* param, bool& out);

// A file name as os.fsencode gives it (str or bytes).
struct FsPath {
    std::string bytes;
};
bool arg_fs_path(PyObject* obj, const char* param, FsPath& out);

// None or an object to call; borrowed from the call's arguments.
struct Callback {
    PyObject* object = nullptr;  // null for None
};

// Sequences of 2-tuples: (market, code) and (ip, port).
using MarketCode = std::pair<uint8_t, std::string>;
using HostPort = std::pair<std::string, uint16_t>;
bool arg_market_codes(PyObject* obj, const char* param, std::vector<MarketCode>& out);
bool arg_host_ports(PyObject* obj, const char* param, std::vector<HostPort>& out);

// TypeError "'<type>' object cannot be cast as '<target>'".
void raise_cannot_cast(PyObject* obj, const char* target);
// TypeError "argument '<param>': expected tuples <shape>".
void raise_expected_tuples(const char* param, const char* shape);
// A Python exception is set while converting `param`: names it (see ErrorKind::Argument);
// returns false.
bool name_argument(const char* param);

}  // namespace pelmora::py
