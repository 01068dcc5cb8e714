#include "module/records.hpp"

#include <new>

namespace pelmora::py {

RecordShape::RecordShape(std::initializer_list<const char*> keys) {
    prototype_ = PyDict_New();
    if (!prototype_) throw std::bad_alloc();
    keys_.reserve(keys.size());
    for (const char* name : keys) {
        PyObject* key = PyUnicode_InternFromString(name);
        if (!key || PyDict_SetItem(prototype_, key, Py_None) != 0) throw std::bad_alloc();
        keys_.push_back(key);
    }
}

namespace {

// Decimal digits of v, at least `min_digits`, written at out; returns the count.
size_t put_number(char* out, unsigned v, size_t min_digits) {
    char tmp[10];
    size_t n = 0;
    do {
        tmp[n++] = char('0' + v % 10);
        v /= 10;
    } while (v);
    while (n < min_digits) tmp[n++] = '0';
    for (size_t i = 0; i < n; ++i) out[i] = tmp[n - 1 - i];
    return n;
}

}  // namespace

size_t format_date(char* out, unsigned year, unsigned month, unsigned day) {
    size_t n = put_number(out, year, 1);
    out[n++] = '-';
    n += put_number(out + n, month, 2);
    out[n++] = '-';
    n += put_number(out + n, day, 2);
    return n;
}

size_t format_time(char* out, unsigned hour, unsigned minute) {
    size_t n = put_number(out, hour, 2);
    out[n++] = ':';
    n += put_number(out + n, minute, 2);
    return n;
}

size_t format_datetime(char* out, unsigned year, unsigned month, unsigned day, unsigned hour,
                       unsigned minute) {
    size_t n = format_date(out, year, month, day);
    out[n++] = ' ';
    return n + format_time(out + n, hour, minute);
}

}  // namespace pelmora::py
