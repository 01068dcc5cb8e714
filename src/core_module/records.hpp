// Building result records: each dict is declared as its keys, each next to the function that
// makes its value from the record. The keys are created once per process; a dict is built by
// copying a prepared dict that holds them, then setting each value (no resizing, no hashing).
#pragma once

#include <Python.h>

#include <cstring>
#include <initializer_list>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "python/pyref.hpp"

namespace pelmora::py {

// Sets dict[key] = value, taking over the reference to `value`; false with an exception set.
inline bool put(PyObject* dict, PyObject* key, PyObject* value) {
    if (!value) return false;
    int rc = PyDict_SetItem(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

// One key of a record and the function that makes its value: a new reference or nullptr.
template <class F>
struct Field {
    const char* key;
    F value;
};
template <class F>
constexpr Field<F> field(const char* key, F value) {
    return {key, value};
}

// The interned keys of a shape and a dict holding them all (valued None) in order.
class ShapeKeys {
public:
    ShapeKeys(std::initializer_list<const char*> keys);  // throws std::bad_alloc
    PyObject* key(size_t i) const { return keys_[i]; }
    PyObject* new_dict() const { return PyDict_Copy(prototype_); }

private:
    std::vector<PyObject*> keys_;  // immortal for the process
    PyObject* prototype_;
};

template <class... F>
class RecordShape {
public:
    explicit RecordShape(Field<F>... fields) : keys_({fields.key...}), values_(fields.value...) {}
    explicit RecordShape(std::tuple<Field<F>...> fields)
        : RecordShape(std::make_from_tuple<RecordShape>(std::move(fields))) {}

    // A new dict of this shape with the values of `record`; nullptr on failure.
    template <class R>
    PyObject* build(const R& record) const {
        // With two keys a fresh dict filled in key order is cheaper than copying the prepared
        // one (measured about 10% faster per record; from three keys on the copy wins).
        PyObject* d = sizeof...(F) <= 2 ? PyDict_New() : keys_.new_dict();
        if (!d) return nullptr;
        if (!fill(d, record, std::index_sequence_for<F...>{})) {
            Py_DECREF(d);
            return nullptr;
        }
        return d;
    }
    template <class R>
    PyObject* operator()(const R& record) const {
        return build(record);
    }

private:
    template <class R, size_t... I>
    bool fill(PyObject* d, const R& record, std::index_sequence<I...>) const {
        return (put(d, keys_.key(I), std::get<I>(values_)(record)) && ...);
    }

    ShapeKeys keys_;
    std::tuple<F...> values_;
};

template <class... F>
RecordShape(std::tuple<Field<F>...>) -> RecordShape<F...>;

// A decoder sink that makes one object per record with `make` (a shape, say) and puts it into a
// list sized for `expected` records up front, so that most decodes need no copy at the end.
template <class Make>
class ListSink {
public:
    ListSink(const Make& make, size_t expected)
        : make_(make), list_(PyRef::steal(PyList_New(Py_ssize_t(expected)))) {}

    template <class R>
    bool operator()(const R& record) {
        if (!list_) return false;
        PyObject* item = make_(record);
        if (!item) return false;
        if (count_ < PyList_GET_SIZE(list_.get())) {
            PyList_SET_ITEM(list_.get(), count_++, item);
            return true;
        }
        // Only when `expected` was too small.
        const int rc = PyList_Append(list_.get(), item);
        Py_DECREF(item);
        if (rc != 0) return false;
        ++count_;
        return true;
    }

    // The list of the objects made so far; nullptr with an exception set on failure.
    PyObject* list() {
        if (!list_) return nullptr;
        const Py_ssize_t size = PyList_GET_SIZE(list_.get());
        if (count_ == size) return list_.release();
        // Fewer records than expected: the empty tail is cut off (its slots are still null).
        PyObject* exact = PyList_New(count_);
        if (!exact) return nullptr;
        for (Py_ssize_t i = 0; i < count_; ++i) {
            PyList_SET_ITEM(exact, i, PyList_GET_ITEM(list_.get(), i));
            PyList_SET_ITEM(list_.get(), i, nullptr);
        }
        return exact;
    }

private:
    const Make& make_;
    PyRef list_;  // items past count_ are null until set; the list is never seen before list()
    Py_ssize_t count_ = 0;
};

// Runs decode(sink) with a list sink of `make`: the list of its objects, or nullptr when a
// record could not be made.
template <class Make, class Decode>
PyObject* decode_list(const Make& make, size_t expected, Decode&& decode) {
    ListSink<Make> sink(make, expected);
    if (!decode(sink)) return nullptr;
    return sink.list();
}

// The same with the records kept first and the objects made after: for the market decoders two
// small loops measured faster (up to 10% per record) than one that decodes and builds in turn.
template <class Record, class Make, class Decode>
PyObject* decode_list_buffered(const Make& make, size_t expected, Decode&& decode) {
    std::vector<Record> records;
    records.reserve(expected);
    auto keep = [&](const Record& r) {
        records.push_back(r);
        return true;
    };
    decode(keep);
    ListSink<Make> sink(make, records.size());
    for (const Record& r : records)
        if (!sink(r)) return nullptr;
    return sink.list();
}

// A str from ASCII bytes, written straight into the new object.
inline PyObject* ascii_str(const char* text, size_t size) {
    PyObject* s = PyUnicode_New(Py_ssize_t(size), 127);
    if (s) std::memcpy(PyUnicode_DATA(s), text, size);
    return s;
}

// A new str of `size` ASCII characters, written in place by `write(char*)`.
template <class Write>
PyObject* ascii_text(size_t size, Write&& write) {
    PyObject* s = PyUnicode_New(Py_ssize_t(size), 127);
    if (s) write(static_cast<char*>(PyUnicode_DATA(s)));
    return s;
}

// A str from text the decoders produced (always valid UTF-8).
inline PyObject* utf8_str(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), nullptr);
}

// Prices in hundredths and thousandths of the unit, as float.
inline PyObject* hundredths(int64_t v) {
    return PyFloat_FromDouble(double(v) / 100.0);
}
inline PyObject* thousandths(int64_t v) {
    return PyFloat_FromDouble(double(v) / 1000.0);
}

// "{}-{:02}-{:02}" and "{}-{:02}-{:02} {:02}:{:02}" without a formatting library; returns length.
size_t format_date(char* out, unsigned year, unsigned month, unsigned day);
size_t format_datetime(char* out, unsigned year, unsigned month, unsigned day, unsigned hour,
                       unsigned minute);
// "{:02}:{:02}"
size_t format_time(char* out, unsigned hour, unsigned minute);
inline constexpr size_t kDateTimeCapacity = 64;

}  // namespace pelmora::py
