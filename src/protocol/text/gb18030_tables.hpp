// The gb18030 index tables, generated into gb18030_tables.cpp by tools/gen_gb18030.py.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelmora::text::detail {

// Two-byte sequences, indexed by (lead - 0x81) * 190 + (trail - (trail < 0x7F ? 0x40 : 0x41)).
// Every entry is a BMP code point other than a surrogate; 0 would mean "no entry".
inline constexpr size_t kGb18030IndexSize = 23940;
extern const char16_t gb18030_index[kGb18030IndexSize];

// Four-byte sequences: pointer i (counting from 81 30 81 30) maps to
// code_points[k] + (i - pointers[k]) for the last k with pointers[k] <= i. pointers[0] is 0 and
// the last entry (189000 -> U+10000) opens the supplementary planes.
inline constexpr size_t kGb18030RangeCount = 207;
extern const uint32_t gb18030_range_pointers[kGb18030RangeCount];
extern const uint32_t gb18030_range_code_points[kGb18030RangeCount];

}  // namespace pelmora::text::detail
