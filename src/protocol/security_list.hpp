// Security count (command 0x044E) and security list pages (command 0x0450).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "protocol/request.hpp"

namespace pelmora::proto {

struct SecurityRecord {
    std::string code;  // UTF-8
    uint16_t volunit;
    std::string name;  // UTF-8
    uint8_t decimal_point;
    double pre_close;
};

Bytes security_count_request(uint8_t market);
Bytes security_list_request(uint8_t market, uint16_t start);

Status decode_security_count(const Bytes& body, uint16_t& count);
Status decode_security_list(const Bytes& body, std::vector<SecurityRecord>& out);

}  // namespace pelmora::proto
