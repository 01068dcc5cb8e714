// Columns handed out through the Arrow C data interface: a Table describes each column's format
// and buffers, which it borrows from whoever made it; the exported schemas, arrays and streams
// keep the Table (through its shared_ptr) for as long as any of them, or any child of theirs,
// is not released. The buffers are never copied: a batch of a stream is a slice (offset and
// length) of the same buffers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/arrow_abi.hpp"
#include "common/not_a_time.hpp"

namespace pelmora::arrow {

// One array's format and buffers. The validity buffer, [0], is null unless values are missing
// (only times are ever missing: numpy's NaT).
struct Layout {
    std::string format;           // "g", "l", "i", "s", "c", "tss:", "tsm:", "u"
    const void* buffers[3] = {};  // [0] validity, [1] values; a "u" array: offsets, bytes
    int64_t n_buffers = 2;        // 3 for "u"
};

// The validity bitmap of `rows` times at `times` (any alignment), a bit per row, set where the
// time is not missing; empty when none is. Throws std::bad_alloc.
std::vector<uint8_t> time_validity(const void* times, int64_t rows);

struct Column {
    std::string name;
    Layout values;                     // a dictionary column's indices
    std::optional<Layout> dictionary;  // "u" values the indices point into, not ordered
    int64_t dictionary_length = 0;
};

struct Table {
    std::vector<Column> columns;
    int64_t rows = 0;
    int64_t chunk_rows = 0;  // rows of a stream's batch at most; 0 for one batch

    // Batches a stream gives: one at least, even with no rows.
    int64_t num_chunks() const;
};

// Whoever made the Table decides, through the deleter, how its buffers are let go of.
using SharedTable = std::shared_ptr<const Table>;

// A struct schema of the columns (nullable fields, as Arrow's default has them). It copies the
// names and formats and holds nothing of the Table. Throws std::bad_alloc.
void export_schema(const Table& table, ArrowSchema* out);

// A struct array of rows [offset, offset + length) of every column. Throws std::bad_alloc.
void export_rows(const SharedTable& table, int64_t offset, int64_t length, ArrowArray* out);

// A stream of the table's batches, chunk_rows rows each at most.
void export_stream(const SharedTable& table, ArrowArrayStream* out);

}  // namespace pelmora::arrow
