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
    const BarColumns& c = *slot.columns;
    int64_t* when = c.datetime();
    double* open = c.column(Column::Open);
    double* high = c.column(Column::High);
    double* low = c.column(Column::Low);
    double* close = c.column(Column::Close);
    double* volume = c.column(Column::Volume);
    double* amount = c.column(Column::Amount);
    double* up = c.index() ? c.column(Column::UpCount) : nullptr;
    double* down = c.index() ? c.column(Column::DownCount) : nullptr;
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
        when[row] = t;
        open[row] = double(bar.open) / 1000.0;
        high[row] = double(bar.high) / 1000.0;
        low[row] = double(bar.low) / 1000.0;
        close[row] = double(bar.close) / 1000.0;
        volume[row] = bar.vol;
        amount[row] = bar.amount;
        if (up) {
            // Rows of securities in a batch that also holds index bars have no counts.
            up[row] = index ? double(bar.up_count) : kNaN;
            down[row] = index ? double(bar.down_count) : kNaN;
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
