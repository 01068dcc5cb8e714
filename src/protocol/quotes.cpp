#include "protocol/quotes.hpp"

#include <cstring>

#include "protocol/text/text.hpp"

namespace pelmora::proto {

Status quotes_request(std::span<const std::pair<uint8_t, std::string>> items, Bytes& out) {
    const size_t count = items.size();
    if (count > kMaxQuoteItems)
        return Error{ErrorKind::Value,
                     "stock_list has " + std::to_string(count) + " items; at most " +
                         std::to_string(kMaxQuoteItems) + " fit in one request",
                     0};
    const uint16_t length = uint16_t(7 * count + 12);
    RequestWriter w({0x0C, 0x01, 0x20, 0x63, 0x00, 0x02}, 22 + 7 * count);
    w.u16(length).u16(length).u8(0x3E).u8(0x05).u8(0x05).u8(0x00).zeros(6).u16(uint16_t(count));
    for (const auto& [market, code] : items) w.u8(market).code(code);
    out = w.take();
    return {};
}

void decode_quote_code(const uint8_t* p, QuoteRecord& r) {
    size_t size = 0;
    if (text::is_valid_utf8(p, 6)) {
        size = 6;
        while (size > 0 && p[size - 1] == 0) --size;
    }
    std::memcpy(r.code, p, 6);
    r.code_size = uint8_t(size);
}

}  // namespace pelmora::proto
