#include "protocol/xdxr.hpp"

#include "protocol/fields.hpp"

namespace pelmora::proto {

namespace {

constexpr size_t kCountOffset = 9;
constexpr size_t kFirstRecord = 11;
constexpr size_t kRecordSize = 29;
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

void decode_xdxr(const Bytes& body, std::vector<XdxrRecord>& out) {
    out.clear();
    const size_t n = body.size();
    const uint8_t* data = body.data();
    if (kFirstRecord > n) return;
    const size_t announced = load_u16(data + kCountOffset);
    const size_t present = (n - kFirstRecord) / kRecordSize;
    out.reserve(announced < present ? announced : present);
    size_t cursor = kFirstRecord;
    while (out.size() < announced) {
        if (cursor + kRecordSize > n) break;
        const uint8_t* r = data + cursor;
        XdxrRecord rec{};
        size_t at = cursor + kDate;
        BarDateTime date = *read_datetime(kDayCategory, data, n, at);  // in bounds: checked above
        rec.year = date.year;
        rec.month = date.month;
        rec.day = date.day;
        rec.category = r[kCategory];
        // Only the slots the category uses are read.
        switch (xdxr_layout(rec.category)) {
            case XdxrLayout::Dividend:
                rec.values[0] = load_f32(r + kSlotA);
                rec.values[1] = load_f32(r + kSlotB);
                rec.values[2] = load_f32(r + kSlotC);
                rec.values[3] = load_f32(r + kSlotD);
                break;
            case XdxrLayout::Consolidation:
                rec.values[0] = load_f32(r + kSlotC);
                break;
            case XdxrLayout::Warrant:
                rec.values[0] = load_f32(r + kSlotA);
                rec.values[1] = load_f32(r + kSlotC);
                break;
            case XdxrLayout::ShareCapital:
                rec.values[0] = share_capital(r + kSlotA);
                rec.values[1] = share_capital(r + kSlotB);
                rec.values[2] = share_capital(r + kSlotC);
                rec.values[3] = share_capital(r + kSlotD);
                break;
        }
        out.push_back(rec);
        cursor += kRecordSize;
    }
}

}  // namespace pelmora::proto
