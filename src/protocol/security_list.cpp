#include "protocol/security_list.hpp"

#include "protocol/text/text.hpp"

namespace pelmora::proto {

namespace {

void strip_trailing_nuls(std::string& s) {
    while (!s.empty() && s.back() == '\0') s.pop_back();
}

}  // namespace

Bytes security_count_request(uint8_t market) {
    return RequestWriter({0x0C, 0x0C, 0x18, 0x6C, 0x00, 0x01, 0x08, 0x00, 0x08, 0x00, 0x4E, 0x04},
                         18)
        .u16(market)
        .u32(20170613)
        .take();
}

Bytes security_list_request(uint8_t market, uint16_t start) {
    return RequestWriter({0x0C, 0x01, 0x18, 0x64, 0x01, 0x01, 0x06, 0x00, 0x06, 0x00, 0x50, 0x04},
                         16)
        .u16(market)
        .u16(start)
        .take();
}

Status check_security_count(size_t n) {
    if (n >= 2) return {};
    return Error{ErrorKind::Runtime, "Malformed security count response: expected at least 2 bytes",
                 0};
}

Status check_security_list(size_t n) {
    if (n >= 2) return {};
    return Error{ErrorKind::Runtime, "Malformed security list response: expected at least 2 bytes",
                 0};
}

void read_security(const uint8_t* r, SecurityRecord& out) {
    out.code.clear();
    text::append_utf8_lossy(r, kSecurityCodeSize, out.code);
    strip_trailing_nuls(out.code);
    out.volunit = load_u16(r + 6);
    out.name.clear();
    text::append_gbk_text(r + 8, 8, out.name);
    strip_trailing_nuls(out.name);
    out.decimal_point = r[20];
    out.pre_close = read_volume(load_u32(r + 21));
}

}  // namespace pelmora::proto
