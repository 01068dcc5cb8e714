#include "protocol/bars.hpp"

namespace pelmora::proto {

Bytes bars_request(uint16_t category, uint8_t market, std::string_view code, uint16_t start,
                   uint16_t count) {
    return RequestWriter({0x0C, 0x01, 0x08, 0x64, 0x01, 0x01, 0x1C, 0x00, 0x1C, 0x00, 0x2D, 0x05}, 38)
        .u16(market)
        .code(code)
        .u16(category)
        .u16(1)
        .u16(start)
        .u16(count)
        .zeros(10)
        .take();
}

std::vector<BarRecord> decode_bars(const Bytes& body, uint16_t category, bool index) {
    std::vector<BarRecord> out;
    // Every whole bar takes at least 16 bytes: 4 of date, 1 per difference and the tail.
    if (body.size() >= 2) {
        size_t fit = (body.size() - 2) / (index ? 20 : 16);
        size_t announced = load_u16(body.data());
        out.reserve(announced < fit ? announced : fit);
    }
    decode_bars(body.data(), body.size(), category, index, [&](const BarRecord& bar) {
        out.push_back(bar);
        return true;
    });
    return out;
}

}  // namespace pelmora::proto
