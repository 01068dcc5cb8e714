// Decoding a bars body straight into the columns of a batch, checking on the way that it is a
// well-formed answer to the request: a server that sends garbage must not produce rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/error.hpp"
#include "engine/columns.hpp"

namespace pelmora::engine {

struct BarSlot {
    BarColumns* columns;
    size_t first;     // row of the slot's first bar
    size_t capacity;  // rows the slot holds: the count asked for
};

// Writes the body's bars to slot rows first, first + 1, ... and sets `rows`. Fails, with `rows`
// meaningless, when the body announces more bars than asked for, ends inside an announced bar,
// holds bytes after the last one, or holds a time that no calendar has or that is not after the
// bar before.
Status decode_bar_columns(const uint8_t* body, size_t n, uint16_t category, bool index,
                          const BarSlot& slot, size_t& rows);

}  // namespace pelmora::engine
