#include "protocol/server_files.hpp"

#include "protocol/text/text.hpp"

namespace pelmora::proto {

namespace {

constexpr size_t kMetaNameWidth = 40;
constexpr size_t kChunkNameWidth = 100;
constexpr size_t kHashOffset = 5;
constexpr size_t kHashWidth = 32;
constexpr uint32_t kReportChunkLength = 30000;
static_assert(kHashOffset + kHashWidth + 1 == kBlockMetaSize);

}  // namespace

Bytes block_info_meta_request(std::string_view block_file) {
    return RequestWriter({0x0C, 0x39, 0x18, 0x69, 0x00, 0x01, 0x2A, 0x00, 0x2A, 0x00, 0xC5, 0x02},
                         52)
        .text(block_file, kMetaNameWidth)
        .take();
}

Bytes block_info_request(std::string_view block_file, uint32_t start, uint32_t size) {
    return RequestWriter({0x0C, 0x37, 0x18, 0x6A, 0x00, 0x01, 0x6E, 0x00, 0x6E, 0x00, 0xB9, 0x06},
                         120)
        .u32(start)
        .u32(size)
        .text(block_file, kChunkNameWidth)
        .take();
}

Bytes report_file_request(std::string_view filename, uint32_t offset) {
    // Same command as a block chunk, but its own fixed bytes (the sixth is 00) and a fixed length.
    return RequestWriter({0x0C, 0x12, 0x34, 0x00, 0x00, 0x00, 0x6E, 0x00, 0x6E, 0x00, 0xB9, 0x06},
                         120)
        .u32(offset)
        .u32(kReportChunkLength)
        .text(filename, kChunkNameWidth)
        .take();
}

Status check_block_info_meta(size_t n) {
    if (n >= kBlockMetaSize) return {};
    return Error{ErrorKind::Runtime, "Malformed block meta response", 0};
}

void read_block_info_meta(const uint8_t* body, BlockMeta& out) {
    out.size = load_u32(body);
    out.hash_value.clear();
    text::append_utf8_lossy(body + kHashOffset, kHashWidth, out.hash_value);
    // Zero padding after the hash; zero characters inside it stay.
    while (!out.hash_value.empty() && out.hash_value.back() == '\0') out.hash_value.pop_back();
}

}  // namespace pelmora::proto
