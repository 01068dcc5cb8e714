// A column handed in through the buffer protocol: a contiguous one-dimensional run of int64 or
// float64, held (and released) for as long as the owner lives.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

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

}  // namespace pelmora::py
