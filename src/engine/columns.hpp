// Bars as columns: the times in one array, the values (open ... amount, and the advancing and
// declining counts of index bars) in one block, column after column, so that pandas takes the
// block whole as a frame's values. Allocated once for a whole batch, handed to Python without a
// copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace pelmora::engine {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// Owner of one malloc'd array. Large arrays come from mmap, so rows never written cost no
// resident memory, and shrinking gives the tail back without moving the rows.
template <class T>
class ColumnArray {
public:
    bool allocate(size_t n) {
        data_.reset(static_cast<T*>(std::malloc(n ? n * sizeof(T) : 1)));
        return data_ != nullptr;
    }
    void shrink(size_t n) {
        if (!data_) return;
        if (void* p = std::realloc(data_.get(), n ? n * sizeof(T) : 1)) {
            (void)data_.release();
            data_.reset(static_cast<T*>(p));
        }
    }
    T* get() const { return data_.get(); }
    T& operator[](size_t i) const { return data_.get()[i]; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    std::unique_ptr<T, FreeDeleter> data_;
};

// The value columns, in block order; the last two only for batches holding index bars.
enum class Column { Open, High, Low, Close, Volume, Amount, UpCount, DownCount };
inline constexpr int kPriceColumns = 6;
inline constexpr int kIndexColumns = 8;
inline constexpr const char* kColumnNames[kIndexColumns] = {
    "open", "high", "low", "close", "volume", "amount", "up_count", "down_count"};

class BarColumns {
public:
    bool allocate(size_t rows, bool with_index);

    bool index() const { return index_; }
    int value_columns() const { return index_ ? kIndexColumns : kPriceColumns; }
    // Rows from one value column to the next in the block.
    size_t stride() const { return stride_; }
    int64_t* datetime() const { return datetime_.get(); }  // seconds: numpy datetime64[s]
    double* values() const { return values_.get(); }
    double* column(Column c) const { return values_.get() + size_t(c) * stride_; }

    // Moves rows [from, from + n) to `to` (to <= from) in every column.
    void move_rows(size_t to, size_t from, size_t n);
    // Closes the block up to `rows` a column (the stride becomes `rows`) and frees the rest.
    void pack(size_t rows);

private:
    ColumnArray<int64_t> datetime_;
    ColumnArray<double> values_;
    size_t stride_ = 0;
    bool index_ = false;
};

}  // namespace pelmora::engine
