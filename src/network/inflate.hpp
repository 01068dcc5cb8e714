// zlib-format inflation of a response body into exactly `out_size` bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.hpp"
#include "common/error.hpp"

namespace pelmora::net {

// Fails with "corrupt deflate stream" on malformed data and with "failed to fill whole buffer"
// when the stream ends (or the input runs out) before `out_size` bytes came out. Output the
// stream would produce beyond `out_size` is never asked for.
Status inflate_exact(const uint8_t* wire, size_t wire_size, size_t out_size, Bytes& out);

}  // namespace pelmora::net
