// Building result records: dicts with a fixed key order, built by copying a prepared dict whose
// keys are created once per process, then setting each value (no resizing, no key hashing).
#pragma once

#include <Python.h>

#include <cstring>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace pelmora::py {

// Sets dict[key] = value, taking over the reference to `value`; false with an exception set.
inline bool put(PyObject* dict, PyObject* key, PyObject* value) {
    if (!value) return false;
    int rc = PyDict_SetItem(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

class RecordShape;

// Sets the values of one record's dict in key order: add(v) && add(w) && ...
class RecordWriter {
public:
    RecordWriter(PyObject* dict, const RecordShape& shape) : dict_(dict), shape_(shape) {}
    inline bool add(PyObject* value);
    size_t next() const { return next_; }

private:
    PyObject* dict_;
    const RecordShape& shape_;
    size_t next_ = 0;
};

class RecordShape {
public:
    RecordShape(std::initializer_list<const char*> keys);  // throws std::bad_alloc
    // A new dict holding every key (valued None) in order.
    PyObject* new_dict() const { return PyDict_Copy(prototype_); }
    PyObject* key(size_t i) const { return keys_[i]; }
    size_t size() const { return keys_.size(); }

    // A new dict of this shape whose values fill(RecordWriter&) sets; nullptr on failure.
    template <class Fill>
    PyObject* build(Fill&& fill) const {
        PyObject* d = new_dict();
        if (!d) return nullptr;
        RecordWriter writer(d, *this);
        if (!fill(writer)) {
            Py_DECREF(d);
            return nullptr;
        }
        return d;
    }

private:
    std::vector<PyObject*> keys_;  // immortal for the process
    PyObject* prototype_;
};

inline bool RecordWriter::add(PyObject* value) { return put(dict_, shape_.key(next_++), value); }

// A new list of exactly `n` items, item i made by make(i) (a new reference or nullptr).
template <class Make>
PyObject* new_list(size_t n, Make&& make) {
    PyObject* list = PyList_New(Py_ssize_t(n));
    if (!list) return nullptr;
    for (size_t i = 0; i < n; ++i) {
        PyObject* item = make(i);
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, Py_ssize_t(i), item);
    }
    return list;
}

// A str from ASCII bytes, written straight into the new object.
inline PyObject* ascii_str(const char* text, size_t size) {
    PyObject* s = PyUnicode_New(Py_ssize_t(size), 127);
    if (s) std::memcpy(PyUnicode_DATA(s), text, size);
    return s;
}

// A str from text the decoders produced (always valid UTF-8).
inline PyObject* utf8_str(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), nullptr);
}

// "{}-{:02}-{:02}" and "{}-{:02}-{:02} {:02}:{:02}" without a formatting library; returns length.
size_t format_date(char* out, unsigned year, unsigned month, unsigned day);
size_t format_datetime(char* out, unsigned year, unsigned month, unsigned day, unsigned hour,
                       unsigned minute);
// "{:02}:{:02}"
size_t format_time(char* out, unsigned hour, unsigned minute);
inline constexpr size_t kDateTimeCapacity = 64;

}  // namespace pelmora::py
