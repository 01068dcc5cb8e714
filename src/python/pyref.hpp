// Owner of one strong Python reference.
#pragma once

#include <Python.h>

#include <utility>

namespace pelmora::py {

class PyRef {
public:
    PyRef() = default;
    static PyRef steal(PyObject* p) { return PyRef(p); }
    static PyRef incref(PyObject* p) {
        Py_XINCREF(p);
        return PyRef(p);
    }
    PyRef(PyRef&& other) noexcept : p_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, other.release());
            Py_XDECREF(old);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit PyRef(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace pelmora::py
