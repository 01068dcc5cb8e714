// Ex-rights and ex-dividend records (command 0x000F): one fixed-size record per capital event.
#pragma once

#include <cstdint>
#include <string_view>

#include "protocol/fields.hpp"
#include "protocol/request.hpp"

namespace pelmora::proto {

// Which value slots a category fills, and so which keys its record carries.
enum class XdxrLayout : uint8_t {
    Dividend,       // 1: fenhong, peigujia, songzhuangu, peigu (singles in A, B, C, D)
    Consolidation,  // 11, 12: suogu (single in C)
    Warrant,        // 13, 14: xingquanjia, fenshu (singles in A, C)
    ShareCapital,   // every other category: four packed share-capital words in A, B, C, D
};

XdxrLayout xdxr_layout(uint8_t category);

// The category's name as UTF-8; "未知" outside 1..14.
std::string_view xdxr_category_name(uint8_t category);

struct XdxrRecord {
    uint32_t year, month, day;
    uint8_t category;
    double values[4];  // in key order; the layout says how many are used
};

Bytes xdxr_request(uint8_t market, std::string_view code);

inline constexpr size_t kXdxrCountOffset = 9;
inline constexpr size_t kXdxrFirstRecord = 11;
inline constexpr size_t kXdxrRecordSize = 29;

// Fills `out` from one whole record at r.
void read_xdxr(const uint8_t* r, XdxrRecord& out);

// Calls sink(const XdxrRecord&) for each complete record in body order; a short or cut body
// yields the records before the cut.
template <class Sink>
bool decode_xdxr(const uint8_t* body, size_t n, Sink&& sink) {
    if (kXdxrFirstRecord > n) return true;
    const size_t announced = load_u16(body + kXdxrCountOffset);
    XdxrRecord rec;
    size_t cursor = kXdxrFirstRecord;
    for (size_t i = 0; i < announced && cursor + kXdxrRecordSize <= n; ++i) {
        read_xdxr(body + cursor, rec);
        if (!sink(static_cast<const XdxrRecord&>(rec))) return false;
        cursor += kXdxrRecordSize;
    }
    return true;
}

inline size_t xdxr_bound(const uint8_t* body, size_t n) {
    if (kXdxrFirstRecord > n) return 0;
    size_t announced = load_u16(body + kXdxrCountOffset);
    size_t present = (n - kXdxrFirstRecord) / kXdxrRecordSize;
    return announced < present ? announced : present;
}

}  // namespace pelmora::proto
