#include "simulator_module/column_buffer.hpp"

#include <string>
#include <utility>

#include "python/convert.hpp"
#include "python/errors.hpp"

namespace pelmora::py {

namespace {

// The struct-module codes of an 8-byte integer ('l' on LP64, where numpy gives int64 as long)
// and of a double, optionally with a native byte-order prefix.
bool format_is(const char* format, ColumnType type) {
    if (format == nullptr) return false;
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    const std::string f = format;
    return type == ColumnType::Float64 ? f == "d" : (f == "q" || (f == "l" && sizeof(long) == 8));
}

}  // namespace

ColumnBuffer::ColumnBuffer(ColumnBuffer&& other) noexcept
    : view_(other.view_), held_(std::exchange(other.held_, false)) {}

ColumnBuffer& ColumnBuffer::operator=(ColumnBuffer&& other) noexcept {
    if (this != &other) {
        release();
        view_ = other.view_;
        held_ = std::exchange(other.held_, false);
    }
    return *this;
}

ColumnBuffer::~ColumnBuffer() {
    release();
}

void ColumnBuffer::release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
}

bool ColumnBuffer::acquire(PyObject* obj, ColumnType type, bool writable, const char* what) {
    release();
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) {
        raise(error(ErrorKind::Argument, what));
        return false;
    }
    held_ = true;
    if (view_.ndim != 1 || view_.itemsize != 8 || !format_is(view_.format, type)) {
        raise(error(ErrorKind::Type, std::string(what) + " must be a one-dimensional " +
                                         (type == ColumnType::Int64 ? "int64" : "float64") +
                                         " array"));
        release();
        return false;
    }
    return true;
}

bool ArgType<NoiseKey>::convert(PyObject* obj, const char* param, NoiseKey& out) {
    if (!PyLong_Check(obj)) {
        raise_cannot_cast(obj, "int");
        return name_argument(param);
    }
    out.value = PyLong_AsUnsignedLongLong(obj);
    return !(out.value == uint64_t(-1) && PyErr_Occurred());
}

}  // namespace pelmora::py
