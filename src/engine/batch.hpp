// A batch: the requests one call hands to the pool, and their results. Workers fill each
// request's own slot and report it done; the caller waits for the whole batch.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "engine/columns.hpp"
#include "engine/table_columns.hpp"

namespace pelmora::engine {

// Bars decode into the batch's bar columns; the kinds after SecurityList decode into a table
// per request (see engine/table_queries.hpp).
enum class QueryKind : uint8_t {
    Bars,
    SecurityCount,
    SecurityList,
    Securities,
    Quotes,
    Xdxr,
    Finance,
    Ticks,
    Minutes,
};

struct Query {
    QueryKind kind = QueryKind::Bars;
    uint16_t category = 9;
    uint8_t market = 0;
    std::string code;
    uint16_t start = 0;  // bars: offset back from the latest bar; list: first security
    uint16_t count = 0;
    bool index = false;  // bars in the index layout
    uint32_t date = 0;   // ticks and minutes: YYYYMMDD of a past day, 0 for today
    // Security count, list and securities, xdxr and finance: fewer rows than this (a count
    // below it) are asked of another server before they are believed (see Pool::serve).
    uint32_t at_least = 0;
    std::vector<std::pair<uint8_t, std::string>> items;  // quotes: (market, code) each
};

class Batch {
public:
    explicit Batch(std::vector<Query> queries) : queries_(std::move(queries)) {}

    // Sizes every result: a slot of `count` rows per bars request, all in one set of columns.
    Status prepare();

    const std::vector<Query>& queries() const { return queries_; }
    size_t size() const { return queries_.size(); }

    // Per request: bars decoded (or the security count), the codes of a list page, the error.
    BarColumns columns;
    std::vector<size_t> slot_first;
    std::vector<uint32_t> rows;
    std::vector<std::vector<std::string>> codes;
    std::vector<TableColumns> tables;
    std::vector<std::optional<Error>> errors;
    // After compact(): rows of request i at [offsets[i], offsets[i + 1]).
    std::vector<size_t> offsets;

    void complete(size_t i, std::optional<Error> error);
    // True once every request is done; waits at most `slice` for that.
    bool wait_for(std::chrono::milliseconds slice);
    size_t done() const;
    void cancel() { cancelled_.store(true, std::memory_order_relaxed); }
    bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

    // Closes the gaps between slots (rows move down, in request order) and gives the unused
    // tail of the columns back. Only once every request is done.
    void compact();
    size_t total_rows() const { return offsets.empty() ? 0 : offsets.back(); }

private:
    std::vector<Query> queries_;
    mutable std::mutex m_;
    std::condition_variable cv_;
    size_t done_ = 0;
    std::atomic<bool> cancelled_{false};
};

}  // namespace pelmora::engine
