#include "engine_module/queries.hpp"

#include <string>
#include <string_view>
#include <tuple>

#include "protocol/limits.hpp"
#include "protocol/quotes.hpp"
#include "python/errors.hpp"

namespace pelmora::py {

using engine::Query;
using engine::QueryKind;

namespace {

constexpr struct {
    const char* name;
    QueryKind kind;
} kKinds[] = {
    {"securities", QueryKind::Securities},
    {"quotes", QueryKind::Quotes},
    {"xdxr", QueryKind::Xdxr},
    {"finance", QueryKind::Finance},
    {"ticks", QueryKind::Ticks},
    {"minutes", QueryKind::Minutes},
};

bool within(int64_t v, int64_t max) {
    return v >= 0 && v <= max;
}

bool out_of_range(PyObject* item) {
    invalid_argument("query " + repr_text(item) + " out of range");
    return false;
}

bool table_query(PyObject* item, QueryKind kind, Query& q) {
    q.kind = kind;
    if (kind == QueryKind::Quotes) {
        if (!arg_market_codes(item, "queries", q.items)) return false;
        if (q.items.empty() || q.items.size() > proto::kMaxQuoteItems) {
            invalid_argument("a quotes query holds 1 to " + std::to_string(proto::kMaxQuoteItems) +
                             " securities");
            return false;
        }
        return true;
    }
    std::tuple<int64_t, std::string_view, int64_t, int64_t, int64_t> t;
    if (!arg_tuple(item, "queries", "(market, code, start, count, date)", t)) return false;
    const auto [market, code, start, count, date] = t;
    if (!within(market, 1) || !within(start, proto::kMaxOffset) || !within(count, 0xFFFF) ||
        !within(date, 0xFFFFFFFF))
        return out_of_range(item);
    q.market = uint8_t(market);
    q.code.assign(code);
    q.start = uint16_t(start);
    q.count = uint16_t(count);
    q.date = uint32_t(date);
    return true;
}

}  // namespace

bool ArgType<BarQuery>::convert(PyObject* obj, const char* param, BarQuery& out) {
    std::tuple<int64_t, int64_t, std::string_view, int64_t, int64_t, bool> t;
    if (!arg_tuple(obj, param, "(category, market, code, start, count, index)", t)) return false;
    const auto [category, market, code, start, count, index] = t;
    if (!within(category, 0xFFFF) || !within(market, 1) || !within(start, proto::kMaxOffset) ||
        !within(count, 0xFFFF))
        return out_of_range(obj);
    Query& q = out.query;
    q.kind = QueryKind::Bars;
    q.category = uint16_t(category);
    q.market = uint8_t(market);
    q.code.assign(code);
    q.start = uint16_t(start);
    q.count = uint16_t(count);
    q.index = index;
    return true;
}

bool ArgType<QueryKind>::convert(PyObject* obj, const char* param, QueryKind& out) {
    std::string_view name;
    if (!arg_text(obj, param, name)) return false;
    for (const auto& k : kKinds)
        if (name == k.name) {
            out = k.kind;
            return true;
        }
    invalid_argument("unknown query kind " + repr_text(obj));
    return false;
}

bool table_queries(const std::vector<PyObject*>& items, QueryKind kind, std::vector<Query>& out) {
    out.resize(items.size());
    for (size_t i = 0; i < items.size(); ++i)
        if (!table_query(items[i], kind, out[i])) return false;
    return true;
}

bool apply_at_least(const std::vector<uint32_t>& at_least, QueryKind kind,
                    std::vector<Query>& queries) {
    if (at_least.size() != queries.size()) {
        invalid_argument("at_least needs one number per query");
        return false;
    }
    const bool takes =
        kind == QueryKind::Securities || kind == QueryKind::Xdxr || kind == QueryKind::Finance;
    for (size_t i = 0; i < queries.size(); ++i) {
        if (at_least[i] > 0 && !takes) {
            invalid_argument("at_least applies to securities, xdxr and finance queries");
            return false;
        }
        queries[i].at_least = at_least[i];
    }
    return true;
}

}  // namespace pelmora::py
