// Company information: the section list of a security (command 0x02CF) and the text of one
// section (command 0x02D0).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/request.hpp"

namespace pelmora::proto {

struct CompanyInfoCategory {
    std::string name;      // UTF-8
    std::string filename;  // UTF-8
    uint32_t start;
    uint32_t length;
};

Bytes company_info_category_request(uint8_t market, std::string_view code);
Bytes company_info_content_request(uint8_t market, std::string_view code, std::string_view filename,
                                   uint32_t start, uint32_t length);

// Both decoders are tolerant: a short body gives the entries (or the text) it holds, never an
// error.
void decode_company_info_category(const Bytes& body, std::vector<CompanyInfoCategory>& out);
void decode_company_info_content(const Bytes& body, std::string& out);

}  // namespace pelmora::proto
