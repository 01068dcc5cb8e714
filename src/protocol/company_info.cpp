#include "protocol/company_info.hpp"

#include <cstring>

#include "protocol/text/text.hpp"

namespace pelmora::proto {

namespace {

constexpr size_t kNameWidth = 64;
constexpr size_t kFilenameWidth = 80;
constexpr size_t kTextOffset = 12;

// Length of a fixed-width text field up to its first zero byte (the whole width if none).
size_t field_length(const uint8_t* p, size_t width) {
    const void* nul = std::memchr(p, 0, width);
    return nul ? size_t(static_cast<const uint8_t*>(nul) - p) : width;
}

}  // namespace

Bytes company_info_category_request(uint8_t market, std::string_view code) {
    return RequestWriter({0x0C, 0x0F, 0x10, 0x9B, 0x00, 0x01, 0x0E, 0x00, 0x0E, 0x00, 0xCF, 0x02},
                         24)
        .u16(market)
        .code(code)
        .zeros(4)
        .take();
}

Bytes company_info_content_request(uint8_t market, std::string_view code, std::string_view filename,
                                   uint32_t start, uint32_t length) {
    return RequestWriter({0x0C, 0x07, 0x10, 0x9C, 0x00, 0x01, 0x68, 0x00, 0x68, 0x00, 0xD0, 0x02},
                         114)
        .u16(market)
        .code(code)
        .zeros(2)
        .text(filename, kFilenameWidth)
        .u32(start)
        .u32(length)
        .zeros(4)
        .take();
}

void read_company_info_category(const uint8_t* e, CompanyInfoCategory& out) {
    out.name.clear();
    text::append_gbk_text(e, field_length(e, kNameWidth), out.name);
    out.filename.clear();
    text::append_utf8_lossy(e + 64, field_length(e + 64, kFilenameWidth), out.filename);
    out.start = load_u32(e + 144);
    out.length = load_u32(e + 148);
}

void read_company_info_content(const uint8_t* body, size_t n, std::string& out) {
    if (kTextOffset > n) return;
    size_t length = load_u16(body + 10);
    // A body cut short keeps the text it holds.
    if (kTextOffset + length > n) length = n - kTextOffset;
    text::append_gbk_text(body + kTextOffset, length, out);
}

}  // namespace pelmora::proto
