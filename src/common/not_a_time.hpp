// A missing time: numpy's NaT, the least int64, wherever times are counted as int64.
#pragma once

#include <cstdint>
#include <limits>

namespace pelmora {

inline constexpr int64_t kNotATime = std::numeric_limits<int64_t>::min();

}  // namespace pelmora
