// The Arrow C data interface: the three structs through which any Arrow implementation (pyarrow,
// polars, duckdb) takes columns from another library without a copy. They are a stable ABI,
// written here field for field from Arrow's published layout; the namespace changes
// nothing in their layout and keeps them clear of an Arrow header a consumer may include.
#pragma once

#include <cstdint>

namespace pelmora::arrow {

// Bits of ArrowSchema::flags.
inline constexpr int64_t kFlagDictionaryOrdered = 1;
inline constexpr int64_t kFlagNullable = 2;

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);  // null once released or moved
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);  // null once released or moved
    void* private_data;
};

struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
    // Fills `out` with the next batch, or marks it released (release null) after the last.
    int (*get_next)(ArrowArrayStream*, ArrowArray* out);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};

}  // namespace pelmora::arrow
