// Finance summary (command 0x0010): one fixed-layout record of share capital, balance-sheet,
// income and cash-flow totals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/request.hpp"

namespace pelmora::proto {

// The single-precision figures that follow the two dates, in body order.
inline constexpr size_t kFinanceFigures = 29;

struct FinanceRecord {
    double liutongguben;
    uint16_t province;
    uint16_t industry;
    uint32_t updated_date;
    uint32_t ipo_date;
    // zongguben ... meigujingzichan in body order, already scaled to units of one.
    double figures[kFinanceFigures];
};

Bytes finance_request(uint8_t market, std::string_view code);

// False when the body is too short to hold the record (the result is then empty, no error).
bool decode_finance(const Bytes& body, FinanceRecord& out);

}  // namespace pelmora::proto
