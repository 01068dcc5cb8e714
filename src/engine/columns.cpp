#include "engine/columns.hpp"

#include <cstring>

namespace pelmora::engine {

bool BarColumns::allocate(size_t rows, bool with_index) {
    index_ = with_index;
    stride_ = rows;
    return datetime_.allocate(rows) && values_.allocate(rows * size_t(value_columns()));
}

void BarColumns::move_rows(size_t to, size_t from, size_t n) {
    if (to == from || n == 0) return;
    std::memmove(datetime_.get() + to, datetime_.get() + from, n * sizeof(int64_t));
    for (int c = 0; c < value_columns(); ++c) {
        double* col = values_.get() + size_t(c) * stride_;
        std::memmove(col + to, col + from, n * sizeof(double));
    }
}

void BarColumns::pack(size_t rows) {
    // Every slot full: nothing moves (memmove copies even onto itself).
    if (rows == stride_) return;
    // Column c moves down to c * rows; it never reaches a later column's rows still unmoved.
    for (int c = 1; c < value_columns(); ++c)
        std::memmove(values_.get() + size_t(c) * rows, values_.get() + size_t(c) * stride_,
                     rows * sizeof(double));
    stride_ = rows;
    datetime_.shrink(rows);
    values_.shrink(rows * size_t(value_columns()));
}

}  // namespace pelmora::engine
