#include "core_module/records.hpp"

#include <new>

#include "common/decimal.hpp"

namespace pelmora::py {

ShapeKeys::ShapeKeys(std::initializer_list<const char*> keys) {
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

// At least two digits, more when needed ("{:02}").
size_t put_two_or_more(char* out, uint32_t v) {
    const size_t n = v < 100 ? 2 : decimal_digits(v);
    put_digits(out, v, n);
    return n;
}

}  // namespace

size_t format_date(char* out, unsigned year, unsigned month, unsigned day) {
    size_t n = decimal_digits(year);
    put_digits(out, year, n);
    out[n++] = '-';
    n += put_two_or_more(out + n, month);
    out[n++] = '-';
    return n + put_two_or_more(out + n, day);
}

size_t format_time(char* out, unsigned hour, unsigned minute) {
    size_t n = put_two_or_more(out, hour);
    out[n++] = ':';
    return n + put_two_or_more(out + n, minute);
}

size_t format_datetime(char* out, unsigned year, unsigned month, unsigned day, unsigned hour,
                       unsigned minute) {
    size_t n = format_date(out, year, month, day);
    out[n++] = ' ';
    return n + format_time(out + n, hour, minute);
}

}  // namespace pelmora::py
