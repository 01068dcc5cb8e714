// Finance summary (command 0x0010): one fixed-layout record of share capital, balance-sheet,
// income and cash-flow totals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "protocol/fields.hpp"
#include "protocol/request.hpp"

namespace pelmora::proto {

// The single-precision figures that follow the two dates, in body order: each one's name and
// whether it is an amount (scaled from units of ten thousand to units of one); the shareholder
// count and the per-share net assets pass as they are.
struct FinanceFigure {
    const char* name;
    bool scaled;
};
inline constexpr FinanceFigure kFinanceFigureTable[] = {
    {"zongguben", true},
    {"guojiagu", true},
    {"faqirenfarengu", true},
    {"farengu", true},
    {"bgu", true},
    {"hgu", true},
    {"zhigonggu", true},
    {"zongzichan", true},
    {"liudongzichan", true},
    {"gudingzichan", true},
    {"wuxingzichan", true},
    {"gudongrenshu", false},
    {"liudongfuzhai", true},
    {"changqifuzhai", true},
    {"zibengongjijin", true},
    {"jingzichan", true},
    {"zhuyingshouru", true},
    {"zhuyinglirun", true},
    {"yingshouzhangkuan", true},
    {"yingyelirun", true},
    {"touzishouyu", true},
    {"jingyingxianjinliu", true},
    {"zongxianjinliu", true},
    {"cunhuo", true},
    {"lirunzonghe", true},
    {"shuihoulirun", true},
    {"jinglirun", true},
    {"weifenpeilirun", true},
    {"meigujingzichan", false},
};
inline constexpr size_t kFinanceFigures = std::size(kFinanceFigureTable);

struct FinanceRecord {
    double liutongguben;
    uint16_t province;
    uint16_t industry;
    uint32_t updated_date;
    uint32_t ipo_date;
    double figures[kFinanceFigures];  // in kFinanceFigureTable order, already scaled
};

Bytes finance_request(uint8_t market, std::string_view code);

// Bytes past the record are not read.
inline constexpr size_t kFinanceRecordEnd = 141;

// Fills `out` from a body of at least kFinanceRecordEnd bytes.
void read_finance(const uint8_t* body, FinanceRecord& out);

// Calls sink(const FinanceRecord&) once if the body holds the record; a shorter body holds none
// (the result is then empty, no error).
template <class Sink>
bool decode_finance(const uint8_t* body, size_t n, Sink&& sink) {
    if (kFinanceRecordEnd > n) return true;
    FinanceRecord record;
    read_finance(body, record);
    return sink(static_cast<const FinanceRecord&>(record));
}

}  // namespace pelmora::proto
