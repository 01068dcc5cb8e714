// Bars as columns: one array per field, allocated once for a whole batch of requests and handed
// to Python without a copy.
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

enum class Column { Datetime, Open, High, Low, Close, Volume, Amount, UpCount, DownCount };
inline constexpr int kColumnCount = 9;
inline constexpr const char* kColumnNames[kColumnCount] = {
    "datetime", "open", "high", "low", "close", "volume", "amount", "up_count", "down_count"};

struct BarColumns {
    ColumnArray<int64_t> datetime;  // seconds, numpy datetime64[s]
    ColumnArray<double> open, high, low, close, volume, amount;
    // Only when the batch holds index bars; NaN in the rows of other securities.
    ColumnArray<double> up_count, down_count;
    bool index = false;

    bool allocate(size_t rows, bool with_index);
    // Moves rows [from, from + n) to `to` (to <= from) in every column.
    void move_rows(size_t to, size_t from, size_t n);
    void shrink(size_t rows);
    // Address and element format ('q' or 'd') of a column; null when it is not held.
    void* data(Column c, char& format) const;
};

}  // namespace pelmora::engine
