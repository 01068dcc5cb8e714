// A decoder sink that appends each record's values to column arrays instead of building one
// object per record. A column is a name and a projection of the record to a double or an int64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "protocol/bars.hpp"

namespace pelmora::proto {

template <class Record>
class ColumnSink {
public:
    struct F64 {
        const char* name;
        double (*get)(const Record&);
    };
    struct I64 {
        const char* name;
        int64_t (*get)(const Record&);
    };

    ColumnSink(std::initializer_list<F64> f64, std::initializer_list<I64> i64)
        : f64_spec_(f64), i64_spec_(i64), f64_(f64.size()), i64_(i64.size()) {}

    void reserve(size_t n) {
        for (auto& c : f64_) c.reserve(n);
        for (auto& c : i64_) c.reserve(n);
    }

    bool operator()(const Record& r) {
        for (size_t k = 0; k < f64_.size(); ++k) f64_[k].push_back(f64_spec_[k].get(r));
        for (size_t k = 0; k < i64_.size(); ++k) i64_[k].push_back(i64_spec_[k].get(r));
        ++rows_;
        return true;
    }

    size_t rows() const { return rows_; }
    // The column of that name, or nullptr.
    const std::vector<double>* f64(std::string_view name) const {
        for (size_t k = 0; k < f64_.size(); ++k)
            if (name == f64_spec_[k].name) return &f64_[k];
        return nullptr;
    }
    const std::vector<int64_t>* i64(std::string_view name) const {
        for (size_t k = 0; k < i64_.size(); ++k)
            if (name == i64_spec_[k].name) return &i64_[k];
        return nullptr;
    }

private:
    std::vector<F64> f64_spec_;
    std::vector<I64> i64_spec_;
    std::vector<std::vector<double>> f64_;
    std::vector<std::vector<int64_t>> i64_;
    size_t rows_ = 0;
};

// K-line bars as columns, with the values of the bar dicts: prices in units, the time as the
// number YYYYMMDDhhmm, and the advancing/declining counts for index bars.
inline ColumnSink<BarRecord> bar_columns(bool index) {
    using B = BarRecord;
    std::initializer_list<ColumnSink<B>::F64> prices = {
        {"open", [](const B& b) { return double(b.open) / 1000.0; }},
        {"high", [](const B& b) { return double(b.high) / 1000.0; }},
        {"low", [](const B& b) { return double(b.low) / 1000.0; }},
        {"close", [](const B& b) { return double(b.close) / 1000.0; }},
        {"vol", [](const B& b) { return b.vol; }},
        {"amount", [](const B& b) { return b.amount; }},
    };
    auto datetime = [](const B& b) {
        const BarDateTime& t = b.when;
        return int64_t(t.year) * 100000000 + int64_t(t.month) * 1000000 + t.day * 10000 +
               t.hour * 100 + t.minute;
    };
    if (!index) return ColumnSink<B>(prices, {{"datetime", datetime}});
    return ColumnSink<B>(prices,
                         {{"datetime", datetime},
                          {"up_count", [](const B& b) { return int64_t(b.up_count); }},
                          {"down_count", [](const B& b) { return int64_t(b.down_count); }}});
}

}  // namespace pelmora::proto
