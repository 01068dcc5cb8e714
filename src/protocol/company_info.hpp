// Company information: the section list of a security (command 0x02CF) and the text of one
// section (command 0x02D0).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/fields.hpp"
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

inline constexpr size_t kCompanyEntrySize = 152;

// Fills `out` (reusing its strings) from one whole entry at e.
void read_company_info_category(const uint8_t* e, CompanyInfoCategory& out);

// Calls sink(const CompanyInfoCategory&) for each whole entry, at most the announced count.
template <class Sink>
bool decode_company_info_category(const uint8_t* body, size_t n, Sink&& sink) {
    if (n < 2) return true;
    const size_t announced = load_u16(body);
    CompanyInfoCategory entry;
    size_t cursor = 2;
    for (size_t i = 0; i < announced && cursor + kCompanyEntrySize <= n; ++i) {
        read_company_info_category(body + cursor, entry);
        if (!sink(static_cast<const CompanyInfoCategory&>(entry))) return false;
        cursor += kCompanyEntrySize;
    }
    return true;
}

inline size_t company_info_category_bound(const uint8_t* body, size_t n) {
    if (n < 2) return 0;
    size_t announced = load_u16(body), whole = (n - 2) / kCompanyEntrySize;
    return announced < whole ? announced : whole;
}

// The section text as UTF-8: what the body holds of it, empty for a body without a header.
void read_company_info_content(const uint8_t* body, size_t n, std::string& out);

// Calls sink(std::string_view) once with the section text.
template <class Sink>
bool decode_company_info_content(const uint8_t* body, size_t n, Sink&& sink) {
    std::string text;
    read_company_info_content(body, n, text);
    return sink(std::string_view(text));
}

}  // namespace pelmora::proto
