#include "engine/table_columns.hpp"

namespace pelmora::engine {

namespace {

template <class T>
const std::vector<T>* find(const std::vector<const char*>& names,
                           const std::vector<std::vector<T>>& columns, std::string_view name) {
    for (size_t k = 0; k < names.size(); ++k)
        if (name == names[k]) return &columns[k];
    return nullptr;
}

template <class T>
void append_columns(std::vector<std::vector<T>>& to, const std::vector<std::vector<T>>& from) {
    for (size_t k = 0; k < to.size(); ++k)
        to[k].insert(to[k].end(), from[k].begin(), from[k].end());
}

}  // namespace

void TableColumns::reset(const TableSchema& schema) {
    schema_ = &schema;
    f64_.assign(schema.f64.size(), {});
    i64_.assign(schema.i64.size(), {});
    text_.assign(schema.text.size(), {});
    rows_ = 0;
}

const std::vector<double>* TableColumns::f64(std::string_view name) const {
    return schema_ ? find(schema_->f64, f64_, name) : nullptr;
}

const std::vector<int64_t>* TableColumns::i64(std::string_view name) const {
    return schema_ ? find(schema_->i64, i64_, name) : nullptr;
}

const std::vector<std::string>* TableColumns::text(std::string_view name) const {
    return schema_ ? find(schema_->text, text_, name) : nullptr;
}

void TableColumns::append(const TableColumns& other) {
    if (other.schema_ != schema_) return;
    append_columns(f64_, other.f64_);
    append_columns(i64_, other.i64_);
    append_columns(text_, other.text_);
    rows_ += other.rows_;
}

}  // namespace pelmora::engine
