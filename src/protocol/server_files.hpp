// Server files: the size and hash of a block file (command 0x02C5) and chunks of block files and
// other named files (command 0x06B9).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "protocol/request.hpp"

namespace pelmora::proto {

struct BlockMeta {
    uint32_t size;
    std::string hash_value;  // UTF-8
};

// A chunk answer: the leading u32 and where the data bytes lie in the body.
struct FileChunk {
    uint32_t head;       // 0 when the body is shorter than 4 bytes
    size_t data_offset;  // data is body[data_offset, data_offset + data_size)
    size_t data_size;
};

Bytes block_info_meta_request(std::string_view block_file);
Bytes block_info_request(std::string_view block_file, uint32_t start, uint32_t size);
Bytes report_file_request(std::string_view filename, uint32_t offset);

// Fails with "Malformed block meta response" on a body of 37 bytes or less.
Status decode_block_info_meta(const Bytes& body, BlockMeta& out);
// Never fails: a body shorter than 4 bytes is an empty chunk with head 0.
FileChunk decode_file_chunk(const Bytes& body);

}  // namespace pelmora::proto
