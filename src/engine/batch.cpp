#include "engine/batch.hpp"

namespace pelmora::engine {

Status Batch::prepare() {
    const size_t n = queries_.size();
    slot_first.resize(n);
    rows.assign(n, 0);
    codes.resize(n);
    tables.resize(n);
    errors.resize(n);
    size_t total = 0;
    bool index = false;
    for (size_t i = 0; i < n; ++i) {
        slot_first[i] = total;
        if (queries_[i].kind == QueryKind::Bars) {
            total += queries_[i].count;
            index = index || queries_[i].index;
        }
    }
    if (!columns.allocate(total, index)) return Error{ErrorKind::Panic, "out of memory", 0};
    return {};
}

void Batch::complete(size_t i, std::optional<Error> error) {
    errors[i] = std::move(error);
    std::lock_guard lock(m_);
    if (++done_ == queries_.size()) cv_.notify_all();
}

bool Batch::wait_for(std::chrono::milliseconds slice) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, slice, [&] { return done_ == queries_.size(); });
}

size_t Batch::done() const {
    std::lock_guard lock(m_);
    return done_;
}

void Batch::compact() {
    offsets.assign(queries_.size() + 1, 0);
    size_t to = 0;
    for (size_t i = 0; i < queries_.size(); ++i) {
        offsets[i] = to;
        if (queries_[i].kind != QueryKind::Bars) continue;
        if (errors[i]) rows[i] = 0;
        columns.move_rows(to, slot_first[i], rows[i]);
        to += rows[i];
    }
    offsets.back() = to;
    columns.pack(to);
}

}  // namespace pelmora::engine
