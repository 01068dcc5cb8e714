#include "engine/bar_columns_decoder.hpp"

#include <limits>

#include "common/bytes.hpp"
#include "engine/civil_time.hpp"
#include "protocol/bars.hpp"
#include "protocol/minute_date.hpp"
#include "protocol/packed_fields.hpp"

namespace pelmora::engine {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Bar times from the four date bytes of the daily form, YYYYMMDD. A body's bars follow each
// other, so the month of the last one is kept: a word inside it needs no division.
class DayWords {
public:
    int64_t seconds(const uint8_t* p) {
        const uint32_t word = load_u32(p);
        if (word - first_ >= days_ && !enter_month(word)) return kNotATime;
        return first_seconds_ + int64_t(word - first_) * 86400;
    }

private:
    bool enter_month(uint32_t word) {
        const uint32_t y = word / 10000, m = word / 100 % 100, d = word % 100;
        if (!valid_date(y, m, d)) return false;
        first_ = word - d + 1;
        days_ = days_in_month(y, m);
        first_seconds_ = days_from_civil(y, m, 1) * 86400;
        return true;
    }

    uint32_t first_ = 0, days_ = 0;  // the month's first day as a word, and its length
    int64_t first_seconds_ = 0;
};

// Bar times from the packed minute form: a u16 day (years since 2004 above month * 100 + day)
// and a u16 minute of the day, the bar's end. The last day is kept.
class MinuteWords {
public:
    int64_t seconds(const uint8_t* p) {
        const uint32_t day = load_u16(p), minute = load_u16(p + 2);
        if (day != day_) enter_day(day);
        if (day_seconds_ == kNotATime || minute >= 24 * 60) return kNotATime;
        return day_seconds_ + int64_t(minute) * 60;
    }

private:
    void enter_day(uint32_t day) {
        const proto::MinuteDate date = proto::decode_minute_date(uint16_t(day));
        day_ = day;
        day_seconds_ = valid_date(date.year, date.month, date.day)
                           ? days_from_civil(date.year, date.month, date.day) * 86400
                           : kNotATime;
    }

    uint32_t day_ = UINT32_MAX;  // no u16
    int64_t day_seconds_ = kNotATime;
};

struct Outputs {
    int64_t* when;
    double *open, *high, *low, *close, *volume, *amount;
    double *up, *down;  // null when the columns hold no index counts
};

// The four price differences of a bar (open, close, high, low), each read a word at a time;
// false when one is longer than a word. Needs 32 readable bytes at body + at.
[[gnu::always_inline]] inline bool read_prices_word(const uint8_t* body, size_t& at,
                                                    int64_t (&d)[4]) {
#pragma GCC unroll 4
    for (int64_t& v : d) {
        unsigned len = proto::read_price_short(body + at, v);
        if (len == 0 && (len = proto::read_price_word(body + at, v)) == 0) return false;
        at += len;
    }
    return true;
}

// Decodes up to `announced` bars into rows 0, 1, ... of `out`, stopping at the first bar cut
// by the end of the body (as proto::decode_bars does) or with a time out of order or not a
// date (`bad_time`). Returns the rows written; `end` is where the last one ends.
template <class TimeWords, size_t kTail>
size_t decode_rows(const uint8_t* body, size_t n, size_t announced, bool index, const Outputs& out,
                   bool& bad_time, size_t& end) {
    // A bar read a word at a time touches at most its date, four words and its tail.
    constexpr size_t kReach = 4 + 32 + kTail;
    TimeWords clock;
    size_t cursor = 2, row = 0;
    uint64_t base = 0;  // sums wrap around like the server's 64-bit arithmetic
    int64_t last = kNotATime;
    for (; row < announced; ++row) {
        int64_t d[4];
        size_t at = cursor + 4;
        if (!(cursor + kReach <= n && read_prices_word(body, at, d))) {
            // Near the end of the body, or a value longer than a word: byte by byte.
            if (cursor + 4 > n) break;
            at = cursor + 4;
            for (int64_t& v : d) v = proto::read_price(body, n, at);
            if (at + kTail > n) break;
        }
        const int64_t t = clock.seconds(body + cursor);
        if (t <= last) {
            bad_time = true;
            break;
        }
        last = t;
        const uint8_t* tail = body + at;
        cursor = at + kTail;
        const uint64_t open = base + uint64_t(d[0]);
        base = open + uint64_t(d[1]);
        out.when[row] = t;
        // A division, not a multiplication by 0.001: the prices must equal _core's to the
        // bit. The divider works beside the integer work of the next bars.
        out.open[row] = double(int64_t(open)) / 1000.0;
        out.close[row] = double(int64_t(base)) / 1000.0;
        out.high[row] = double(int64_t(open + uint64_t(d[2]))) / 1000.0;
        out.low[row] = double(int64_t(open + uint64_t(d[3]))) / 1000.0;
        out.volume[row] = proto::volume_of(load_u32(tail));
        out.amount[row] = proto::volume_of(load_u32(tail + 4));
        if (out.up) {
            // Rows of securities in a batch that also holds index bars have no counts.
            out.up[row] = index ? double(load_u16(tail + 8)) : kNaN;
            out.down[row] = index ? double(load_u16(tail + 10)) : kNaN;
        }
    }
    end = cursor;
    return row;
}

Error malformed(const char* what) {
    return Error{ErrorKind::Runtime, std::string("Malformed bars response: ") + what, 0};
}

}  // namespace

Status decode_bar_columns(const uint8_t* body, size_t n, uint16_t category, bool index,
                          const BarSlot& slot, size_t& rows) {
    rows = 0;
    // An empty body is the plainest "no bars"; one byte holds no count.
    if (n < 2) return n == 0 ? Status{} : malformed("1 byte");
    const size_t announced = load_u16(body);
    if (announced > slot.capacity) return malformed("more bars than asked for");
    const BarColumns& c = *slot.columns;
    const size_t f = slot.first;
    const Outputs out{c.datetime() + f,
                      c.column(Column::Open) + f,
                      c.column(Column::High) + f,
                      c.column(Column::Low) + f,
                      c.column(Column::Close) + f,
                      c.column(Column::Volume) + f,
                      c.column(Column::Amount) + f,
                      c.index() ? c.column(Column::UpCount) + f : nullptr,
                      c.index() ? c.column(Column::DownCount) + f : nullptr};
    bool bad_time = false;
    size_t got, end;
    if (proto::is_minute_category(category))
        got = index ? decode_rows<MinuteWords, 12>(body, n, announced, true, out, bad_time, end)
                    : decode_rows<MinuteWords, 8>(body, n, announced, false, out, bad_time, end);
    else
        got = index ? decode_rows<DayWords, 12>(body, n, announced, true, out, bad_time, end)
                    : decode_rows<DayWords, 8>(body, n, announced, false, out, bad_time, end);
    if (bad_time) return malformed("a bar time out of order or not a date");
    if (got != announced) return malformed("body ends inside a bar");
    // Bars follow each other to the end of the body: bytes after the announced ones mean the
    // count is not this body's (65,535 zero bytes announce no bar at all).
    if (end != n) return malformed("bytes after the announced bars");
    rows = got;
    return {};
}

}  // namespace pelmora::engine
