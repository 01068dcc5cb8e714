#include "engine/bar_columns_decoder.hpp"

#include <cstring>
#include <initializer_list>
#include <limits>

#include "common/bytes.hpp"
#include "engine/civil_time.hpp"
#include "protocol/bars.hpp"

namespace pelmora::engine {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Bar times of one body: the day number is worked out once per month, since a body's bars
// follow each other.
class BarClock {
public:
    explicit BarClock(bool minute_form) : minute_form_(minute_form) {}

    int64_t seconds(const proto::BarDateTime& t) {
        if (t.year != year_ || t.month != month_) {
            if (!valid_date(t.year, t.month, 1)) return kNotATime;
            year_ = t.year;
            month_ = t.month;
            month_days_ = days_from_civil(t.year, t.month, 1);
        }
        if (!valid_date(t.year, t.month, t.day)) return kNotATime;
        const int64_t s = (month_days_ + t.day - 1) * 86400;
        if (!minute_form_) return s;
        if (t.hour > 23) return kNotATime;
        return s + int64_t(t.hour) * 3600 + int64_t(t.minute) * 60;
    }

private:
    bool minute_form_;
    uint32_t year_ = 0, month_ = 0;
    int64_t month_days_ = 0;
};

// A division, not a multiplication by 0.001: the prices must equal _core's to the bit. Four
// lanes at a time (GCC vector extensions: divpd on any x86-64, the widest the target has).
void divide_by_1000(double* col, size_t n) {
    using Lanes = double __attribute__((vector_size(32)));
    const Lanes thousand = {1000.0, 1000.0, 1000.0, 1000.0};
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        Lanes v;
        std::memcpy(&v, col + i, sizeof v);
        v /= thousand;
        std::memcpy(col + i, &v, sizeof v);
    }
    for (; i < n; ++i) col[i] = col[i] / 1000.0;
}

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
    BarClock clock(minute_form);
    proto::decode_bars(body, n, category, index, [&](const proto::BarRecord& bar) {
        const int64_t t = clock.seconds(bar.when);
        if (t == kNotATime || t <= last) {
            bad_time = true;
            return false;
        }
        last = t;
        when[row] = t;
        // Raw thousandths here; divided a whole column at a time below, where the divisions
        // run side by side.
        open[row] = double(bar.open);
        high[row] = double(bar.high);
        low[row] = double(bar.low);
        close[row] = double(bar.close);
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
    for (double* col : {open, high, low, close}) divide_by_1000(col + slot.first, row - slot.first);
    if (bad_time) return malformed("a bar time out of order or not a date");
    rows = row - slot.first;
    if (rows != announced) return malformed("body ends inside a bar");
    return {};
}

}  // namespace pelmora::engine
