// Server files: the size and hash of a block file (command 0x02C5) and chunks of block files and
// other named files (command 0x06B9).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "protocol/fields.hpp"
#include "protocol/request.hpp"

namespace pelmora::proto {

struct BlockMeta {
    uint32_t size;
    std::string hash_value;  // UTF-8
};

// A chunk answer: the leading u32 and the data bytes after it, within the body.
struct FileChunk {
    uint32_t head;  // 0 when the body is shorter than 4 bytes
    const uint8_t* data;
    size_t data_size;
};

Bytes block_info_meta_request(std::string_view block_file);
Bytes block_info_request(std::string_view block_file, uint32_t start, uint32_t size);
Bytes report_file_request(std::string_view filename, uint32_t offset);

// The byte after the hash (offset 37) is not read, but a body without it is not an answer.
inline constexpr size_t kBlockMetaSize = 38;

// Fails with "Malformed block meta response" on a body of 37 bytes or less.
Status check_block_info_meta(size_t n);

// Fills `out` from a body of at least kBlockMetaSize bytes.
void read_block_info_meta(const uint8_t* body, BlockMeta& out);

// Calls sink(const BlockMeta&) once if the body holds the answer.
template <class Sink>
bool decode_block_info_meta(const uint8_t* body, size_t n, Sink&& sink) {
    if (kBlockMetaSize > n) return true;
    BlockMeta meta;
    read_block_info_meta(body, meta);
    return sink(static_cast<const BlockMeta&>(meta));
}

// Calls sink(const FileChunk&) once: a body shorter than 4 bytes is an empty chunk with head 0.
template <class Sink>
bool decode_file_chunk(const uint8_t* body, size_t n, Sink&& sink) {
    if (4 > n) return sink(FileChunk{0, body, 0});
    return sink(FileChunk{load_u32(body), body + 4, n - 4});
}

}  // namespace pelmora::proto
