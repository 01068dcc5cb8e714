// Minute-time series: today's (command 0x051D) and a past day's (command 0x0FB4). Both bodies
// hold the same records; the history header is two bytes longer.
#pragma once

#include <cstdint>
#include <string_view>

#include "protocol/fields.hpp"
#include "protocol/request.hpp"

namespace pelmora::proto {

struct MinuteRecord {
    int64_t price;  // running sum of the differences, hundredths
    int64_t vol;
};

Bytes minute_time_request(uint8_t market, std::string_view code);
Bytes history_minute_time_request(uint8_t market, std::string_view code, uint32_t date);

inline constexpr size_t kMinuteHeader = 4;
inline constexpr size_t kHistoryMinuteHeader = 6;
// Variable-length values of a record: the price difference, one skipped, the volume.
inline constexpr size_t kMinuteValues = 3;

// Calls emit(const MinuteRecord&) for each record; emit returns false to stop. A record cut by
// the end of the body is still emitted, its missing values read as 0; decoding stops after it.
template <class Emit>
bool decode_minute_time(const uint8_t* body, size_t n, size_t header, Emit&& emit) {
    if (n < 2) return true;
    const size_t announced = load_u16(body);
    if (announced == 0 || n <= header) return true;
    size_t cursor = header;
    uint64_t acc = 0;
    for (size_t emitted = 0;;) {
        const uint64_t d = uint64_t(read_price(body, n, cursor));
        skip_price(body, n, cursor);
        const int64_t vol = read_price(body, n, cursor);
        acc += d;
        if (!emit(MinuteRecord{int64_t(acc), vol})) return false;
        if (++emitted == announced || cursor >= n) return true;
    }
}

// At most one record per body byte after the header, and at most the announced count.
inline size_t minute_time_bound(const uint8_t* body, size_t n, size_t header) {
    if (n < 2 || n <= header) return 0;
    size_t announced = load_u16(body);
    return announced < n - header ? announced : n - header;
}

}  // namespace pelmora::proto
