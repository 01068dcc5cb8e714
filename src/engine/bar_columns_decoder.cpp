#include "engine/bar_columns_decoder.hpp"

#include <limits>

#include "common/bytes.hpp"
#include "engine/civil_time.hpp"
#include "protocol/bars.hpp"

namespace pelmora::engine {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Error malformed(const char* what) {
    return Error{ErrorKind::Runtime, std::string("Malformed bars response: ") + what, 0};
}

}  // namespace

Status decode_bar_columns(const uint8_t* body, size_t n, uint16_t category, bool index,
                          const BarSlot& slot, size_t& rows) {
    rows = 0;
    if (n < 2) return n == 0 ? Status{} : malformed("1 byte");
    const size_t announced = load_u16(body);
    if (announced > slot.capacity) return malformed("more bars than asked for");
    const bool minute_form = proto::is_minute_category(category);
    BarColumns& c = *slot.columns;
    size_t row = slot.first;
    int64_t last = kNotATime;
    bool bad_time = false;
    proto::decode_bars(body, n, category, index, [&](const proto::BarRecord& bar) {
        const int64_t t = bar_seconds(bar.when, minute_form);
        if (t == kNotATime || t <= last) {
            bad_time = true;
            return false;
        }
        last = t;
        c.datetime[row] = t;
        c.open[row] = double(bar.open) / 1000.0;
        c.high[row] = double(bar.high) / 1000.0;
        c.low[row] = double(bar.low) / 1000.0;
        c.close[row] = double(bar.close) / 1000.0;
        c.volume[row] = bar.vol;
        c.amount[row] = bar.amount;
        if (index) {
            c.up_count[row] = bar.up_count;
            c.down_count[row] = bar.down_count;
        } else if (c.index) {
            c.up_count[row] = kNaN;
            c.down_count[row] = kNaN;
        }
        ++row;
        return true;
    });
    if (bad_time) return malformed("a bar time out of order or not a date");
    rows = row - slot.first;
    if (rows != announced) return malformed("body ends inside a bar");
    return {};
}

}  // namespace pelmora::engine
