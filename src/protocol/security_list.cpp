#include "protocol/security_list.hpp"

#include "protocol/fields.hpp"
#include "protocol/text/text.hpp"

namespace pelmora::proto {

namespace {

constexpr size_t kRecordSize = 29;

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

Status decode_security_count(const Bytes& body, uint16_t& count) {
    if (body.size() < 2)
        return Error{ErrorKind::Runtime,
                     "Malformed security count response: expected at least 2 bytes", 0};
    count = load_u16(body.data());
    return {};
}

Status decode_security_list(const Bytes& body, std::vector<SecurityRecord>& out) {
    const size_t n = body.size();
    if (n < 2)
        return Error{ErrorKind::Runtime,
                     "Malformed security list response: expected at least 2 bytes", 0};
    const size_t announced = load_u16(body.data());
    const size_t present = (n - 2) / kRecordSize;
    const size_t count = announced < present ? announced : present;
    out.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* r = body.data() + 2 + kRecordSize * i;
        SecurityRecord& rec = out[i];
        text::append_utf8_lossy(r, 6, rec.code);
        strip_trailing_nuls(rec.code);
        rec.volunit = load_u16(r + 6);
        text::append_gbk_text(r + 8, 8, rec.name);
        strip_trailing_nuls(rec.name);
        rec.decimal_point = r[20];
        rec.pre_close = read_volume(load_u32(r + 21));
    }
    return {};
}

}  // namespace pelmora::proto
