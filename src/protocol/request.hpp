// Building request bytes: a fixed prefix per command, then little-endian parameters.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "common/bytes.hpp"

namespace pelmora::proto {

class RequestWriter {
public:
    RequestWriter(std::initializer_list<uint8_t> prefix, size_t total_size) {
        bytes_.reserve(total_size);
        bytes_.assign(prefix);
    }
    RequestWriter& u8(uint8_t v) {
        bytes_.push_back(v);
        return *this;
    }
    RequestWriter& u16(uint16_t v) { return u8(uint8_t(v)).u8(uint8_t(v >> 8)); }
    RequestWriter& u32(uint32_t v) { return u16(uint16_t(v)).u16(uint16_t(v >> 16)); }
    RequestWriter& zeros(size_t count) {
        bytes_.insert(bytes_.end(), count, 0);
        return *this;
    }
    // Text bytes cut to `width` and filled up with zero bytes to `width`.
    RequestWriter& text(std::string_view s, size_t width) {
        size_t take = s.size() < width ? s.size() : width;
        bytes_.insert(bytes_.end(), s.begin(), s.begin() + take);
        return zeros(width - take);
    }
    RequestWriter& code(std::string_view s) { return text(s, 6); }
    Bytes take() { return std::move(bytes_); }

private:
    Bytes bytes_;
};

// The 21-byte request of the per-security commands that take (market, code) after a fixed u16 1:
// ex-rights records (0x000F) and the finance summary (0x0010).
inline Bytes security_info_request(uint16_t command, uint8_t market, std::string_view code) {
    return RequestWriter({0x0C, 0x1F, 0x18, 0x76, 0x00, 0x01, 0x0B, 0x00, 0x0B, 0x00}, 21)
        .u16(command)
        .u16(1)
        .u8(market)
        .code(code)
        .take();
}

}  // namespace pelmora::proto
