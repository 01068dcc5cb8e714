#include "engine/columns.hpp"

#include <cstring>

namespace pelmora::engine {

bool BarColumns::allocate(size_t rows, bool with_index) {
    index = with_index;
    bool ok = datetime.allocate(rows) && open.allocate(rows) && high.allocate(rows) &&
              low.allocate(rows) && close.allocate(rows) && volume.allocate(rows) &&
              amount.allocate(rows);
    if (ok && with_index) ok = up_count.allocate(rows) && down_count.allocate(rows);
    return ok;
}

namespace {

template <class T>
void move_in(const ColumnArray<T>& a, size_t to, size_t from, size_t n) {
    if (a && to != from && n) std::memmove(a.get() + to, a.get() + from, n * sizeof(T));
}

}  // namespace

void BarColumns::move_rows(size_t to, size_t from, size_t n) {
    move_in(datetime, to, from, n);
    move_in(open, to, from, n);
    move_in(high, to, from, n);
    move_in(low, to, from, n);
    move_in(close, to, from, n);
    move_in(volume, to, from, n);
    move_in(amount, to, from, n);
    move_in(up_count, to, from, n);
    move_in(down_count, to, from, n);
}

void BarColumns::shrink(size_t rows) {
    datetime.shrink(rows);
    open.shrink(rows);
    high.shrink(rows);
    low.shrink(rows);
    close.shrink(rows);
    volume.shrink(rows);
    amount.shrink(rows);
    up_count.shrink(rows);
    down_count.shrink(rows);
}

void* BarColumns::data(Column c, char& format) const {
    format = 'd';
    switch (c) {
        case Column::Datetime:
            format = 'q';
            return datetime.get();
        case Column::Open:
            return open.get();
        case Column::High:
            return high.get();
        case Column::Low:
            return low.get();
        case Column::Close:
            return close.get();
        case Column::Volume:
            return volume.get();
        case Column::Amount:
            return amount.get();
        case Column::UpCount:
            return up_count.get();
        case Column::DownCount:
            return down_count.get();
    }
    return nullptr;
}

}  // namespace pelmora::engine
