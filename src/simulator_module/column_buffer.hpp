// A column handed in through the buffer protocol: a contiguous one-dimensional run of int64 or
// float64, held (and released) for as long as the owner lives.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "python/command.hpp"
#include "python/errors.hpp"
#include "python/pyref.hpp"

namespace pelmora::py {

enum class ColumnType { Int64, Float64 };

class ColumnBuffer {
public:
    ColumnBuffer() = default;
    ColumnBuffer(ColumnBuffer&& other) noexcept;
    ColumnBuffer& operator=(ColumnBuffer&& other) noexcept;
    ColumnBuffer(const ColumnBuffer&) = delete;
    ColumnBuffer& operator=(const ColumnBuffer&) = delete;
    ~ColumnBuffer();

    // Takes `obj`'s buffer; false with an exception set, naming `what`, when it is not a
    // contiguous column of `type` (or not writable when `writable`).
    bool acquire(PyObject* obj, ColumnType type, bool writable, const char* what);

    size_t size() const { return held_ ? size_t(view_.len) / 8 : 0; }
    template <class T>
    T* data() const {
        return static_cast<T*>(view_.buf);
    }

private:
    void release();

    Py_buffer view_{};
    bool held_ = false;
};

// The columns of a sequence of exactly N buffers of one length, named "<param>[i]" in messages;
// false with an exception set when they are not.
template <size_t N>
bool columns_of(PyObject* seq, const char* param, const std::array<ColumnType, N>& types,
                bool writable, std::array<ColumnBuffer, N>& out) {
    PyRef items = PyRef::steal(PySequence_Fast(seq, "expected a sequence of arrays"));
    if (!items) {
        raise(error(ErrorKind::Argument, param));
        return false;
    }
    if (size_t(PySequence_Fast_GET_SIZE(items.get())) != N) {
        raise(error(ErrorKind::Value,
                    std::string(param) + " must hold " + std::to_string(N) + " columns"));
        return false;
    }
    for (size_t i = 0; i < N; ++i) {
        const std::string what = std::string(param) + "[" + std::to_string(i) + "]";
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), Py_ssize_t(i));
        if (!out[i].acquire(item, types[i], writable, what.c_str())) return false;
        if (out[i].size() != out[0].size()) {
            raise(error(ErrorKind::Value,
                        "the columns of " + std::string(param) + " differ in length"));
            return false;
        }
    }
    return true;
}

// A security's noise key: an int of 64 bits.
struct NoiseKey {
    uint64_t value = 0;
};

template <>
struct ArgType<NoiseKey> {
    static bool convert(PyObject* obj, const char* param, NoiseKey& out);
};

}  // namespace pelmora::py
