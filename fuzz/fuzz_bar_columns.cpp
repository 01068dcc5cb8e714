// The engine's columnar path: whole-body inflation with libdeflate, then bars decoded straight
// into columns. Input: category (1 byte), flags (bit 0 index bars, bit 1 inflate first), the
// slot capacity (u16), the announced plain size (u16, used when inflating), then the body.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "engine/bar_columns_decoder.hpp"
#include "engine/civil_time.hpp"
#include "engine/fast_inflate.hpp"
#include "network/inflate.hpp"
#include "protocol/bars.hpp"

using namespace pelmora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    const uint16_t category = data[0];
    const bool index = data[1] & 1, compressed = data[1] & 2;
    const size_t capacity = load_u16(data + 2), plain = load_u16(data + 4);
    const uint8_t* body = data + 6;
    size_t n = size - 6;

    static engine::FastInflater inflater;
    Bytes inflated;
    if (compressed) {
        Status s = inflater.inflate(body, n, plain, inflated);
        if (!s) return 0;
        // What libdeflate inflates, zlib inflates to the same bytes.
        Bytes by_zlib;
        if (inflated.size() != plain || !net::inflate_exact(body, n, plain, by_zlib) ||
            by_zlib != inflated)
            abort();
        body = inflated.data();
        n = inflated.size();
    }

    // The slot sits after a first one, so that writes outside it would show.
    engine::BarColumns columns;
    if (!columns.allocate(2 * capacity + 1, true)) abort();
    const engine::BarSlot slot{&columns, capacity + 1, capacity};
    size_t rows = 0;
    Status s = engine::decode_bar_columns(body, n, category, index, slot, rows);

    // It fails exactly when the reference decoder finds a bar cut short, more bars than the
    // slot holds, or a time that is no date or not after the one before.
    const bool minute_form = proto::is_minute_category(category);
    size_t whole = 0;
    int64_t last = engine::kNotATime;
    bool in_order = true;
    proto::decode_bars(body, n, category, index, [&](const proto::BarRecord& bar) {
        const int64_t t = engine::bar_seconds(bar.when, minute_form);
        in_order = in_order && t > last;
        last = t;
        ++whole;
        return true;
    });
    const bool well_formed =
        n < 2 ? n == 0 : load_u16(body) <= capacity && whole == load_u16(body) && in_order;
    if (bool(s) != well_formed) abort();
    if (!s) return 0;
    if (rows > capacity) abort();

    // Every row is the reference decoder's bar, prices divided as _core divides them, the time
    // worked out from its fields.
    size_t i = 0;
    proto::decode_bars(body, n, category, index, [&](const proto::BarRecord& bar) {
        if (i == rows) abort();
        const size_t r = slot.first + i++;
        using engine::Column;
        if (columns.column(Column::Open)[r] != double(bar.open) / 1000.0 ||
            columns.column(Column::Close)[r] != double(bar.close) / 1000.0 ||
            columns.column(Column::High)[r] != double(bar.high) / 1000.0 ||
            columns.column(Column::Low)[r] != double(bar.low) / 1000.0 ||
            std::memcmp(&columns.column(Column::Volume)[r], &bar.vol, sizeof bar.vol) != 0 ||
            std::memcmp(&columns.column(Column::Amount)[r], &bar.amount, sizeof bar.amount) != 0 ||
            columns.datetime()[r] != engine::bar_seconds(bar.when, minute_form))
            abort();
        const double up = columns.column(Column::UpCount)[r];
        const double down = columns.column(Column::DownCount)[r];
        if (index ? up != bar.up_count || down != bar.down_count
                  : !std::isnan(up) || !std::isnan(down))
            abort();
        if (i > 1 && columns.datetime()[r] <= columns.datetime()[r - 1]) abort();
        return true;
    });
    if (i != rows) abort();
    return 0;
}
