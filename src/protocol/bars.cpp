#include "protocol/bars.hpp"

namespace pelmora::proto {

Bytes bars_request(uint16_t category, uint8_t market, std::string_view code, uint16_t start,
                   uint16_t count) {
    return RequestWriter({0x0C, 0x01, 0x08, 0x64, 0x01, 0x01, 0x1C, 0x00, 0x1C, 0x00, 0x2D, 0x05},
                         38)
        .u16(market)
        .code(code)
        .u16(category)
        .u16(1)
        .u16(start)
        .u16(count)
        .zeros(10)
        .take();
}

}  // namespace pelmora::proto
