// Ex-rights and ex-dividend records (command 0x000F): one fixed-size record per capital event.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "protocol/request.hpp"

namespace pelmora::proto {

// Which value slots a category fills, and so which keys its record carries.
enum class XdxrLayout : uint8_t {
    Dividend,      // 1: fenhong, peigujia, songzhuangu, peigu (singles in A, B, C, D)
    Consolidation, // 11, 12: suogu (single in C)
    Warrant,       // 13, 14: xingquanjia, fenshu (singles in A, C)
    ShareCapital,  // every other category: four packed share-capital words in A, B, C, D
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

// Complete records in body order; a short or cut body yields the records before the cut.
void decode_xdxr(const Bytes& body, std::vector<XdxrRecord>& out);

}  // namespace pelmora::proto
