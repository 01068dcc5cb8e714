#include "protocol/finance.hpp"

namespace pelmora::proto {

namespace {

constexpr size_t kFiguresOffset = 25;
// Amounts travel in units of ten thousand; the multiplication is done on the widened double.
constexpr double kAmountUnit = 10000.0;

static_assert(kFiguresOffset + 4 * kFinanceFigures == kFinanceRecordEnd);

}  // namespace

Bytes finance_request(uint8_t market, std::string_view code) {
    return security_info_request(0x0010, market, code);
}

void read_finance(const uint8_t* p, FinanceRecord& out) {
    out.liutongguben = load_f32(p + 9) * kAmountUnit;
    out.province = load_u16(p + 13);
    out.industry = load_u16(p + 15);
    out.updated_date = load_u32(p + 17);
    out.ipo_date = load_u32(p + 21);
    for (size_t k = 0; k < kFinanceFigures; ++k) {
        double value = load_f32(p + kFiguresOffset + 4 * k);
        out.figures[k] = kFinanceFigureTable[k].scaled ? value * kAmountUnit : value;
    }
}

}  // namespace pelmora::proto
