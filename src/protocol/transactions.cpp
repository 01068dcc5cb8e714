#include "protocol/transactions.hpp"

namespace pelmora::proto {

Bytes transaction_request(uint8_t market, std::string_view code, uint16_t start, uint16_t count) {
    return RequestWriter({0x0C, 0x17, 0x08, 0x01, 0x01, 0x01, 0x0E, 0x00, 0x0E, 0x00, 0xC5, 0x0F},
                         24)
        .u16(market)
        .code(code)
        .u16(start)
        .u16(count)
        .take();
}

Bytes history_transaction_request(uint8_t market, std::string_view code, uint16_t start,
                                  uint16_t count, uint32_t date) {
    return RequestWriter({0x0C, 0x01, 0x30, 0x01, 0x00, 0x01, 0x12, 0x00, 0x12, 0x00, 0xB5, 0x0F},
                         28)
        .u32(date)
        .u16(market)
        .code(code)
        .u16(start)
        .u16(count)
        .take();
}

}  // namespace pelmora::proto
