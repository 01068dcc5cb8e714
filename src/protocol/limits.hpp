// What the HQ protocol allows and real servers answer with: the sizes of a page and how far back
// a request reaches. The engine checks its queries against these, and pelmora._engine hands them
// to the Python side.
#pragma once

#include <cstdint>

namespace pelmora::proto {

inline constexpr uint16_t kBarPage = 800;           // bars a bars request returns at most
inline constexpr uint16_t kListPage = 1000;         // securities a security-list page holds
inline constexpr uint16_t kQuotePage = 80;          // securities a quotes request of HQ asks for
inline constexpr uint16_t kTransactionPage = 2000;  // ticks a transactions request returns
inline constexpr uint32_t kMaxOffset = 0xFFFF;      // the furthest start a request can name

}  // namespace pelmora::proto
