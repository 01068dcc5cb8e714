// Tick transactions: today's (command 0x0FC5) and a past day's (command 0x0FB5). Today's records
// carry one more value, num; the history body has four more header bytes.
#pragma once

#include <cstdint>
#include <string_view>

#include "protocol/fields.hpp"
#include "protocol/request.hpp"

namespace pelmora::proto {

struct TransactionRecord {
    uint16_t minute_of_day;
    int64_t price;  // running sum of the differences, hundredths
    int64_t vol;
    int64_t num;  // today only; 0 in history records
    int64_t buyorsell;
};

// Bytes before the first record: the u16 count, and in a past day's body four more.
inline constexpr size_t kTransactionHeader = 2;
inline constexpr size_t kHistoryTransactionHeader = 6;
// Variable-length values after a record's u16 time: today's d, vol, num, buyorsell and one
// skipped; a past day's the same without num.
inline constexpr size_t kTransactionValues = 5;
inline constexpr size_t kHistoryTransactionValues = 4;

Bytes transaction_request(uint8_t market, std::string_view code, uint16_t start, uint16_t count);
Bytes history_transaction_request(uint8_t market, std::string_view code, uint16_t start,
                                  uint16_t count, uint32_t date);

// Calls emit(const TransactionRecord&) per record; emit returns false to stop. A record whose
// variable-length values are cut by the end of the body is still emitted with 0 for them.
template <class Emit>
bool decode_transactions(const uint8_t* body, size_t n, bool history, Emit&& emit) {
    if (n < 2) return true;
    const size_t announced = load_u16(body);
    size_t cursor = history ? kHistoryTransactionHeader : kTransactionHeader;
    uint64_t acc = 0;
    TransactionRecord r{};
    for (size_t i = 0; i < announced; ++i) {
        if (cursor + 2 > n) break;
        r.minute_of_day = load_u16(body + cursor);
        cursor += 2;
        acc += uint64_t(read_price(body, n, cursor));
        r.vol = read_price(body, n, cursor);
        if (!history) r.num = read_price(body, n, cursor);
        r.buyorsell = read_price(body, n, cursor);
        skip_price(body, n, cursor);
        r.price = int64_t(acc);
        if (!emit(static_cast<const TransactionRecord&>(r))) return false;
    }
    return true;
}

// Every record starts with two bytes of time, so the body bounds the count too.
inline size_t transactions_bound(const uint8_t* body, size_t n, bool history) {
    const size_t header = history ? kHistoryTransactionHeader : kTransactionHeader;
    if (n < 2 || n < header) return 0;
    size_t announced = load_u16(body), fit = (n - header) / 2;
    return announced < fit ? announced : fit;
}

}  // namespace pelmora::proto
