#include "protocol/xdxr.hpp"

namespace pelmora::proto {

namespace {

// Offsets within a record.
constexpr size_t kDate = 8, kCategory = 12, kSlotA = 13, kSlotB = 17, kSlotC = 21, kSlotD = 25;
// Record dates are YYYYMMDD numbers, the day form of the bar date decoder.
constexpr uint16_t kDayCategory = 9;

constexpr std::string_view kCategoryNames[14] = {
    "除权除息", "送配股上市",   "非流通股上市", "未知股本变动", "股本变化",
    "增发新股", "股份回购",     "增发新股上市", "转配股上市",   "可转债上市",
    "扩缩股",   "非流通股缩股", "送认购权证",   "送认沽权证",
};
constexpr std::string_view kUnknownName = "未知";

// A share-capital word; zero means no figure, not the tiny number the packed form gives for it.
double share_capital(const uint8_t* p) {
    uint32_t word = load_u32(p);
    return word == 0 ? 0.0 : read_volume(word);
}

}  // namespace

XdxrLayout xdxr_layout(uint8_t category) {
    switch (category) {
        case 1:
            return XdxrLayout::Dividend;
        case 11:
        case 12:
            return XdxrLayout::Consolidation;
        case 13:
        case 14:
            return XdxrLayout::Warrant;
        default:
            return XdxrLayout::ShareCapital;
    }
}

std::string_view xdxr_category_name(uint8_t category) {
    return category >= 1 && category <= 14 ? kCategoryNames[category - 1] : kUnknownName;
}

Bytes xdxr_request(uint8_t market, std::string_view code) {
    return security_info_request(0x000F, market, code);
}

void read_xdxr(const uint8_t* r, XdxrRecord& out) {
    out = XdxrRecord{};
    size_t at = kDate;
    BarDateTime date = *read_datetime(kDayCategory, r, kXdxrRecordSize, at);  // a whole record
    out.year = date.year;
    out.month = date.month;
    out.day = date.day;
    out.category = r[kCategory];
    // Only the slots the category uses are read.
    switch (xdxr_layout(out.category)) {
        case XdxrLayout::Dividend:
            out.values[0] = load_f32(r + kSlotA);
            out.values[1] = load_f32(r + kSlotB);
            out.values[2] = load_f32(r + kSlotC);
            out.values[3] = load_f32(r + kSlotD);
            break;
        case XdxrLayout::Consolidation:
            out.values[0] = load_f32(r + kSlotC);
            break;
        case XdxrLayout::Warrant:
            out.values[0] = load_f32(r + kSlotA);
            out.values[1] = load_f32(r + kSlotC);
            break;
        case XdxrLayout::ShareCapital:
            out.values[0] = share_capital(r + kSlotA);
            out.values[1] = share_capital(r + kSlotB);
            out.values[2] = share_capital(r + kSlotC);
            out.values[3] = share_capital(r + kSlotD);
            break;
    }
}

}  // namespace pelmora::proto
