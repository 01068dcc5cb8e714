// Security count (command 0x044E) and security list pages (command 0x0450).
#pragma once

#include <cstdint>
#include <string>

#include "common/error.hpp"
#include "protocol/fields.hpp"
#include "protocol/request.hpp"

namespace pelmora::proto {

struct SecurityRecord {
    std::string code;  // UTF-8
    uint16_t volunit;
    std::string name;  // UTF-8
    uint8_t decimal_point;
    double pre_close;
};

inline constexpr size_t kSecurityRecordSize = 29;
inline constexpr size_t kSecurityCodeSize = 6;  // the code's bytes at the start of a record

Bytes security_count_request(uint8_t market);
Bytes security_list_request(uint8_t market, uint16_t start);

// Both answers open with a u16 count; a body without one is malformed, unlike a short list.
Status check_security_count(size_t n);
Status check_security_list(size_t n);

// Calls sink(uint16_t) with the count, if the body holds one.
template <class Sink>
bool decode_security_count(const uint8_t* body, size_t n, Sink&& sink) {
    return n < 2 || sink(uint16_t(load_u16(body)));
}

// Fills `out` (reusing its strings) from one whole 29-byte record.
void read_security(const uint8_t* r, SecurityRecord& out);

// Calls sink(const SecurityRecord&) for each whole record, at most the announced count.
template <class Sink>
bool decode_security_list(const uint8_t* body, size_t n, Sink&& sink) {
    if (n < 2) return true;
    const size_t announced = load_u16(body);
    const size_t present = (n - 2) / kSecurityRecordSize;
    const size_t count = announced < present ? announced : present;
    SecurityRecord rec;
    for (size_t i = 0; i < count; ++i) {
        read_security(body + 2 + kSecurityRecordSize * i, rec);
        if (!sink(static_cast<const SecurityRecord&>(rec))) return false;
    }
    return true;
}

inline size_t security_list_bound(const uint8_t* body, size_t n) {
    if (n < 2) return 0;
    size_t announced = load_u16(body), present = (n - 2) / kSecurityRecordSize;
    return announced < present ? announced : present;
}

}  // namespace pelmora::proto
