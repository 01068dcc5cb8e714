#include "protocol/minute_time.hpp"

namespace pelmora::proto {

Bytes minute_time_request(uint8_t market, std::string_view code) {
    return RequestWriter({0x0C, 0x1B, 0x08, 0x00, 0x01, 0x01, 0x0E, 0x00, 0x0E, 0x00, 0x1D, 0x05},
                         24)
        .u16(market)
        .code(code)
        .zeros(4)
        .take();
}

Bytes history_minute_time_request(uint8_t market, std::string_view code, uint32_t date) {
    return RequestWriter({0x0C, 0x01, 0x30, 0x00, 0x01, 0x01, 0x0D, 0x00, 0x0D, 0x00, 0xB4, 0x0F},
                         23)
        .u32(date)
        .u8(market)
        .code(code)
        .take();
}

}  // namespace pelmora::proto
