#include "engine_module/arrow_columns.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>

#include "python/any_thread.hpp"
#include "python/command.hpp"
#include "python/errors.hpp"
#include "python/pyref.hpp"

namespace pelmora::py {

namespace {

// A column's kind: its Arrow format and what its data's items must be. A dictionary's format is
// that of its indices, chosen by their size.
struct Kind {
    const char* name;
    const char* format;
    Py_ssize_t itemsize;  // 0: any of 1, 2, 4 (dictionary indices)
    bool floating;
};

constexpr Kind kKinds[] = {
    {"float64", "g", 8, true},
    {"int64", "l", 8, false},
    {"int32", "i", 4, false},
    {"int16", "s", 2, false},
    {"int8", "c", 1, false},
    {"timestamp[s]", "tss:", 8, false},
    {"timestamp[ms]", "tsm:", 8, false},
    {"dictionary", nullptr, 0, false},
    {"utf8", "u", 0, false},
};

// The numpy datetime64 type a timestamp kind's data may come as ("<M8[s]"); null for others.
const char* datetime_type(const Kind& kind) {
    if (!kind.format) return nullptr;
    if (std::strcmp(kind.format, "tss:") == 0) return "<M8[s]";
    if (std::strcmp(kind.format, "tsm:") == 0) return "<M8[ms]";
    return nullptr;
}

const Kind* find_kind(std::string_view name) {
    for (const Kind& k : kKinds)
        if (name == k.name) return &k;
    return nullptr;
}

// Text as Arrow's utf8 arrays lay it out.
struct Utf8 {
    std::vector<int32_t> offsets{0};
    std::string bytes;

    arrow::Layout layout() const {
        arrow::Layout l;
        l.format = "u";
        l.buffers[1] = offsets.data();
        l.buffers[2] = bytes.data();
        l.n_buffers = 3;
        return l;
    }
};

// The Table and what its buffers point into. Destroyed with the interpreter lock held.
struct HeldTable : arrow::Table {
    std::vector<Py_buffer> views;  // reserved up front: a view never moves once taken
    std::vector<std::unique_ptr<Utf8>> texts;
    std::vector<std::vector<uint8_t>> validity;  // of times with missing values

    ~HeldTable() {
        for (Py_buffer& view : views) PyBuffer_Release(&view);
    }
};

void drop_held(const arrow::Table* table) {
    // The last export may be released on a consumer's thread, without the lock.
    with_lock([&] { delete static_cast<const HeldTable*>(table); });
}

std::string label(std::string_view column) {
    return "column '" + std::string(column) + "': ";
}

// TypeError or ValueError naming the column; false.
bool type_error(std::string_view column, const std::string& message) {
    raise(error(ErrorKind::Type, label(column) + message));
    return false;
}

bool value_error(std::string_view column, const std::string& message) {
    invalid_argument(label(column) + message);
    return false;
}

// The format's item letter, after a native or little-endian byte-order mark; 0 for others.
char item_letter(const char* format) {
    if (!format) return 'B';  // no format asked for means unsigned bytes
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    return format[0] != '\0' && format[1] == '\0' ? format[0] : 0;
}

bool matches(const Kind& kind, const Py_buffer& view) {
    const char letter = item_letter(view.format);
    const bool is_float = letter == 'd' || letter == 'f' || letter == 'e';
    const bool is_signed = std::strchr("bhilqn", letter) != nullptr && letter != 0;
    if (kind.itemsize == 0)
        return is_signed && (view.itemsize == 1 || view.itemsize == 2 || view.itemsize == 4);
    return view.itemsize == kind.itemsize && (kind.floating ? is_float : is_signed);
}

// numpy's datetime64 has no buffer export: an int64 view of the same memory stands in for it,
// when in the column's unit (`want`, as "<M8[s]"). Returns `data` itself (a new reference) for
// anything else; null with an error set.
PyObject* as_int64_times(std::string_view column, PyObject* data, std::string_view want) {
    PyRef interface = PyRef::steal(PyObject_GetAttrString(data, "__array_interface__"));
    if (!interface) {
        PyErr_Clear();
        return Py_NewRef(data);
    }
    PyObject* typestr =
        PyDict_Check(interface.get()) ? PyDict_GetItemString(interface.get(), "typestr") : nullptr;
    const char* text = typestr && PyUnicode_Check(typestr) ? PyUnicode_AsUTF8(typestr) : nullptr;
    if (!text) {
        PyErr_Clear();
        return Py_NewRef(data);
    }
    const std::string_view type(text);
    if (type.size() < 3 || type.substr(1, 2) != "M8") return Py_NewRef(data);
    if (type != want) {
        type_error(column, "datetime64 data must be '" + std::string(want) + "', got '" +
                               std::string(type) + "'");
        return nullptr;
    }
    return PyObject_CallMethod(data, "view", "s", "<i8");
}

// Takes the view of a numeric column's data into table.views; its rows in `rows`.
bool take_view(HeldTable& table, std::string_view column, const Kind& kind, PyObject* data,
               Py_ssize_t& rows) {
    const char* times = datetime_type(kind);
    PyRef source = PyRef::steal(times ? as_int64_times(column, data, times) : Py_NewRef(data));
    if (!source) return false;
    if (!PyObject_CheckBuffer(source.get())) {
        return type_error(column,
                          std::string("expected an object with the buffer protocol, got '") +
                              Py_TYPE(source.get())->tp_name + "'");
    }
    Py_buffer& view = table.views.emplace_back();
    if (PyObject_GetBuffer(source.get(), &view, PyBUF_RECORDS_RO) < 0) {
        table.views.pop_back();
        return false;
    }
    if (view.ndim != 1 || !PyBuffer_IsContiguous(&view, 'C')) {
        return value_error(column, "data must be 1-D and C-contiguous");
    }
    if (!matches(kind, view)) {
        const std::string expected =
            kind.itemsize == 0 ? "int8, int16 or int32 codes" : std::string(kind.name) + " items";
        return type_error(column, "expected " + expected + ", got format '" +
                                      (view.format ? view.format : "B") + "' of " +
                                      std::to_string(view.itemsize) + " bytes");
    }
    rows = view.shape[0];
    return true;
}

// A str of a sequence, appended to `text`; false with TypeError naming the column set.
bool append_text(std::string_view column, PyObject* item, Utf8& text) {
    if (!PyUnicode_Check(item)) {
        return type_error(column,
                          std::string("expected str items, got '") + Py_TYPE(item)->tp_name + "'");
    }
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(item, &size);
    if (!bytes) return false;
    if (text.bytes.size() + size_t(size) > size_t(std::numeric_limits<int32_t>::max())) {
        return value_error(column, "more than 2 GiB of text");
    }
    text.bytes.append(bytes, size_t(size));
    text.offsets.push_back(int32_t(text.bytes.size()));
    return true;
}

// A sequence of str as one utf8 array; its length in `rows`.
const Utf8* take_text(HeldTable& table, std::string_view column, PyObject* items,
                      Py_ssize_t& rows) {
    PyRef seq = PyRef::steal(PySequence_Fast(items, ""));
    if (!seq) {
        PyErr_Clear();
        type_error(column, std::string("expected a sequence of str, got '") +
                               Py_TYPE(items)->tp_name + "'");
        return nullptr;
    }
    rows = PySequence_Fast_GET_SIZE(seq.get());
    auto text = std::make_unique<Utf8>();
    text->offsets.reserve(size_t(rows) + 1);
    for (Py_ssize_t i = 0; i < rows; ++i)
        if (!append_text(column, PySequence_Fast_GET_ITEM(seq.get(), i), *text)) return nullptr;
    table.texts.push_back(std::move(text));
    return table.texts.back().get();
}

template <class T>
bool codes_within(const void* data, Py_ssize_t rows, int64_t size, Py_ssize_t& bad) {
    // A buffer need not be aligned to its items: they are loaded by memcpy.
    const char* bytes = static_cast<const char*>(data);
    auto code = [bytes](Py_ssize_t i) {
        T c;
        std::memcpy(&c, bytes + i * Py_ssize_t(sizeof(T)), sizeof(T));
        return c;
    };
    // The range of all codes first, in blocks of a fixed size, loops the compiler vectorizes;
    // the row of the first bad code only when there is one.
    if (rows == 0) return true;
    constexpr Py_ssize_t kBlock = 256;
    T lo = code(0), hi = lo;
    Py_ssize_t i = 0;
    for (; i + kBlock <= rows; i += kBlock) {
        T block[kBlock];
        std::memcpy(block, bytes + i * Py_ssize_t(sizeof(T)), sizeof block);
        for (T c : block) {
            lo = std::min(lo, c);
            hi = std::max(hi, c);
        }
    }
    for (; i < rows; ++i) {
        lo = std::min(lo, code(i));
        hi = std::max(hi, code(i));
    }
    if (lo >= 0 && int64_t(hi) < size) return true;
    for (bad = 0; bad < rows; ++bad)
        if (code(bad) < 0 || int64_t(code(bad)) >= size) break;
    return false;
}

// Every code of a dictionary column points into its dictionary: a consumer indexes with them
// unchecked.
bool check_codes(std::string_view column, const Py_buffer& view, int64_t size) {
    Py_ssize_t bad = 0;
    const Py_ssize_t rows = view.shape[0];
    const bool ok = view.itemsize == 1   ? codes_within<int8_t>(view.buf, rows, size, bad)
                    : view.itemsize == 2 ? codes_within<int16_t>(view.buf, rows, size, bad)
                                         : codes_within<int32_t>(view.buf, rows, size, bad);
    if (ok) return true;
    return value_error(column, "code at row " + std::to_string(bad) +
                                   " is outside the dictionary (" + std::to_string(size) +
                                   " values)");
}

const char* index_format(Py_ssize_t itemsize) {
    return itemsize == 1 ? "c" : itemsize == 2 ? "s" : "i";
}

// One (name, kind, data, dictionary) tuple into table.columns; its rows in `rows`.
bool add_column(HeldTable& table, PyObject* item, Py_ssize_t& rows) {
    std::tuple<std::string, std::string, PyObject*, PyObject*> fields;
    if (!arg_tuple(item, "columns", "(name, kind, data, dictionary)", fields)) return false;
    auto& [name, kind_name, data, dictionary] = fields;
    const Kind* kind = find_kind(kind_name);
    if (!kind) return value_error(name, "unknown kind '" + kind_name + "'");
    const bool encoded = kind->format == nullptr;
    if (encoded != (dictionary != Py_None))
        return value_error(name, encoded ? "a dictionary column needs its dictionary"
                                         : "only a dictionary column takes a dictionary");
    arrow::Column& column = table.columns.emplace_back();
    column.name = name;
    if (std::strcmp(kind->name, "utf8") == 0) {
        const Utf8* text = take_text(table, name, data, rows);
        if (!text) return false;
        column.values = text->layout();
        return true;
    }
    if (!take_view(table, name, *kind, data, rows)) return false;
    const Py_buffer& view = table.views.back();
    // A buffer's address is never null, even with no rows.
    static const int64_t empty = 0;
    column.values.buffers[1] = rows > 0 ? view.buf : &empty;
    column.values.format = encoded ? index_format(view.itemsize) : kind->format;
    if (datetime_type(*kind)) {
        std::vector<uint8_t> bits = arrow::time_validity(view.buf, rows);
        if (!bits.empty())
            column.values.buffers[0] = table.validity.emplace_back(std::move(bits)).data();
    }
    if (!encoded) return true;
    Py_ssize_t size = 0;
    const Utf8* values = take_text(table, name, dictionary, size);
    if (!values || !check_codes(name, view, size)) return false;
    column.dictionary = values->layout();
    column.dictionary_length = size;
    return true;
}

}  // namespace

bool arrow_columns(const std::vector<PyObject*>& items, uint64_t chunk_rows,
                   arrow::SharedTable& out) {
    if (items.empty()) {
        invalid_argument("an ArrowTable needs at least one column");
        return false;
    }
    auto table = std::shared_ptr<HeldTable>(new HeldTable, drop_held);
    table->views.reserve(items.size());
    table->columns.reserve(items.size());
    // A batch larger than the table is the whole table.
    table->chunk_rows =
        int64_t(std::min<uint64_t>(chunk_rows, std::numeric_limits<int64_t>::max()));
    for (size_t i = 0; i < items.size(); ++i) {
        Py_ssize_t rows = 0;
        if (!add_column(*table, items[i], rows)) return false;
        if (i == 0) table->rows = rows;
        if (rows != table->rows)
            return value_error(table->columns[i].name,
                               std::to_string(rows) + " rows, but column '" +
                                   table->columns[0].name + "' has " + std::to_string(table->rows));
    }
    out = std::move(table);
    return true;
}

}  // namespace pelmora::py
