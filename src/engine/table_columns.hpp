// The result of one non-bar request as named columns: float64 and int64 arrays that Python
// sees through the buffer protocol, and text columns (codes, names) that become str lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pelmora::engine {

// Names of a table's columns by type, in the order they are filled.
struct TableSchema {
    std::vector<const char*> f64, i64, text;
};

class TableColumns {
public:
    // Empties the table and gives it the columns of `schema`.
    void reset(const TableSchema& schema);

    const TableSchema* schema() const { return schema_; }
    size_t rows() const { return rows_; }
    std::vector<double>& f64(size_t k) { return f64_[k]; }
    std::vector<int64_t>& i64(size_t k) { return i64_[k]; }
    std::vector<std::string>& text(size_t k) { return text_[k]; }
    // Each row is written by pushing one value to every column, then end_row().
    void end_row() { ++rows_; }

    // The column of that name, or nullptr.
    const std::vector<double>* f64(std::string_view name) const;
    const std::vector<int64_t>* i64(std::string_view name) const;
    const std::vector<std::string>* text(std::string_view name) const;

    // Appends the rows of `other`, a table of the same schema.
    void append(const TableColumns& other);

private:
    const TableSchema* schema_ = nullptr;
    std::vector<std::vector<double>> f64_;
    std::vector<std::vector<int64_t>> i64_;
    std::vector<std::vector<std::string>> text_;
    size_t rows_ = 0;
};

}  // namespace pelmora::engine
