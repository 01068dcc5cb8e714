#include "engine/table_queries.hpp"

#include <cmath>
#include <iterator>
#include <limits>

#include "engine/answer_checks.hpp"
#include "protocol/finance.hpp"
#include "protocol/minute_time.hpp"
#include "protocol/quotes.hpp"
#include "protocol/security_list.hpp"
#include "protocol/transactions.hpp"
#include "protocol/xdxr.hpp"

namespace pelmora::engine {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double hundredths(int64_t v) {
    return double(v) / 100.0;
}

const TableSchema kSecurities{{"pre_close"}, {"volunit", "decimal_point"}, {"code", "name"}};

const TableSchema kQuotes{
    {"price", "last_close", "open", "high", "low", "amount", "bid1", "bid2", "bid3", "bid4", "bid5",
     "ask1", "ask2", "ask3", "ask4", "ask5"},
    {"market", "servertime", "vol", "cur_vol", "s_vol", "b_vol", "bid_vol1", "bid_vol2", "bid_vol3",
     "bid_vol4", "bid_vol5", "ask_vol1", "ask_vol2", "ask_vol3", "ask_vol4", "ask_vol5"},
    {"code"}};

// Every value key of every layout; a record fills those of its own layout, NaN the rest.
const TableSchema kXdxr{
    {"fenhong", "peigujia", "songzhuangu", "peigu", "suogu", "xingquanjia", "fenshu",
     "panqianliutong", "qianzongguben", "panhouliutong", "houzongguben"},
    {"year", "month", "day", "category"},
    {"name"}};

const TableSchema kFinance = [] {
    TableSchema s{{"liutongguben"}, {"province", "industry", "updated_date", "ipo_date"}, {}};
    for (const proto::FinanceFigure& f : proto::kFinanceFigureTable) s.f64.push_back(f.name);
    return s;
}();

const TableSchema kTicks{{"price"}, {"minute", "vol", "num", "buyorsell"}, {}};
const TableSchema kMinutes{{"price"}, {"vol"}, {}};
const TableSchema kNone{};

// First column of each layout's values in kXdxr.f64.
size_t xdxr_first_slot(proto::XdxrLayout layout, size_t& used) {
    switch (layout) {
        case proto::XdxrLayout::Dividend:
            used = 4;
            return 0;
        case proto::XdxrLayout::Consolidation:
            used = 1;
            return 4;
        case proto::XdxrLayout::Warrant:
            used = 2;
            return 5;
        case proto::XdxrLayout::ShareCapital:
            break;
    }
    used = 4;
    return 7;
}

void decode_securities(const uint8_t* body, size_t n, TableColumns& t) {
    proto::decode_security_list(body, n, [&](const proto::SecurityRecord& r) {
        t.f64(0).push_back(r.pre_close);
        t.i64(0).push_back(r.volunit);
        t.i64(1).push_back(r.decimal_point);
        t.text(0).push_back(r.code);
        t.text(1).push_back(r.name);
        t.end_row();
        return true;
    });
}

void decode_quote_table(const uint8_t* body, size_t n, TableColumns& t) {
    proto::decode_quotes(body, n, [&](const proto::QuoteRecord& q) {
        const int64_t prices[] = {q.price, q.last_close, q.open, q.high, q.low};
        for (size_t k = 0; k < 5; ++k) t.f64(k).push_back(hundredths(prices[k]));
        t.f64(5).push_back(q.amount);
        const int64_t counts[] = {q.market, q.servertime, q.vol, q.cur_vol, q.s_vol, q.b_vol};
        for (size_t k = 0; k < 6; ++k) t.i64(k).push_back(counts[k]);
        for (size_t l = 0; l < 5; ++l) {
            t.f64(6 + l).push_back(hundredths(q.levels[l].bid));
            t.f64(11 + l).push_back(hundredths(q.levels[l].ask));
            t.i64(6 + l).push_back(q.levels[l].bid_vol);
            t.i64(11 + l).push_back(q.levels[l].ask_vol);
        }
        t.text(0).emplace_back(q.code, q.code_size);
        t.end_row();
        return true;
    });
}

void decode_xdxr_table(const uint8_t* body, size_t n, TableColumns& t) {
    proto::decode_xdxr(body, n, [&](const proto::XdxrRecord& r) {
        size_t used = 0;
        const size_t first = xdxr_first_slot(proto::xdxr_layout(r.category), used);
        for (size_t k = 0; k < kXdxr.f64.size(); ++k)
            t.f64(k).push_back(k >= first && k < first + used ? r.values[k - first] : kNaN);
        t.i64(0).push_back(r.year);
        t.i64(1).push_back(r.month);
        t.i64(2).push_back(r.day);
        t.i64(3).push_back(r.category);
        t.text(0).emplace_back(proto::xdxr_category_name(r.category));
        t.end_row();
        return true;
    });
}

void decode_finance_table(const uint8_t* body, size_t n, TableColumns& t) {
    proto::decode_finance(body, n, [&](const proto::FinanceRecord& r) {
        t.f64(0).push_back(r.liutongguben);
        for (size_t k = 0; k < proto::kFinanceFigures; ++k) t.f64(1 + k).push_back(r.figures[k]);
        t.i64(0).push_back(r.province);
        t.i64(1).push_back(r.industry);
        t.i64(2).push_back(r.updated_date);
        t.i64(3).push_back(r.ipo_date);
        t.end_row();
        return true;
    });
}

void decode_ticks(const uint8_t* body, size_t n, bool history, TableColumns& t) {
    proto::decode_transactions(body, n, history, [&](const proto::TransactionRecord& r) {
        t.f64(0).push_back(hundredths(r.price));
        t.i64(0).push_back(r.minute_of_day);
        t.i64(1).push_back(r.vol);
        t.i64(2).push_back(r.num);
        t.i64(3).push_back(r.buyorsell);
        t.end_row();
        return true;
    });
}

void decode_minutes(const uint8_t* body, size_t n, size_t header, TableColumns& t) {
    proto::decode_minute_time(body, n, header, [&](const proto::MinuteRecord& r) {
        t.f64(0).push_back(hundredths(r.price));
        t.i64(0).push_back(r.vol);
        t.end_row();
        return true;
    });
}

}  // namespace

bool is_table_kind(QueryKind kind) {
    return kind != QueryKind::Bars && kind != QueryKind::SecurityCount &&
           kind != QueryKind::SecurityList;
}

const TableSchema& table_schema(QueryKind kind) {
    switch (kind) {
        case QueryKind::Securities:
            return kSecurities;
        case QueryKind::Quotes:
            return kQuotes;
        case QueryKind::Xdxr:
            return kXdxr;
        case QueryKind::Finance:
            return kFinance;
        case QueryKind::Ticks:
            return kTicks;
        case QueryKind::Minutes:
            return kMinutes;
        default:
            return kNone;
    }
}

Status table_request(const Query& q, Bytes& out) {
    switch (q.kind) {
        case QueryKind::Securities:
            out = proto::security_list_request(q.market, q.start);
            return {};
        case QueryKind::Quotes:
            return proto::quotes_request(q.items, out);
        case QueryKind::Xdxr:
            out = proto::xdxr_request(q.market, q.code);
            return {};
        case QueryKind::Finance:
            out = proto::finance_request(q.market, q.code);
            return {};
        case QueryKind::Ticks:
            out = q.date ? proto::history_transaction_request(q.market, q.code, q.start, q.count,
                                                              q.date)
                         : proto::transaction_request(q.market, q.code, q.start, q.count);
            return {};
        case QueryKind::Minutes:
            out = q.date ? proto::history_minute_time_request(q.market, q.code, q.date)
                         : proto::minute_time_request(q.market, q.code);
            return {};
        default:
            return Error{ErrorKind::Value, "not a table query", 0};
    }
}

Status decode_table(const Query& q, const uint8_t* body, size_t n, TableColumns& out) {
    out.reset(table_schema(q.kind));
    switch (q.kind) {
        case QueryKind::Securities:
            if (Status s = check_security_list_answer(body, n); !s) return s;
            decode_securities(body, n, out);
            break;
        case QueryKind::Quotes:
            if (Status s = check_quotes_answer(body, n); !s) return s;
            decode_quote_table(body, n, out);
            break;
        case QueryKind::Xdxr:
            if (Status s = check_xdxr_answer(body, n); !s) return s;
            decode_xdxr_table(body, n, out);
            break;
        case QueryKind::Finance: {
            bool none = false;
            if (Status s = check_finance_answer(body, n, none); !s) return s;
            if (!none) decode_finance_table(body, n, out);
            break;
        }
        case QueryKind::Ticks:
            if (Status s = check_ticks_answer(body, n, q.date != 0); !s) return s;
            decode_ticks(body, n, q.date != 0, out);
            if (out.rows() > q.count)
                return Error{ErrorKind::Runtime, "more ticks than asked for", 0};
            break;
        case QueryKind::Minutes:
            if (Status s = check_minutes_answer(body, n, q.date != 0); !s) return s;
            decode_minutes(body, n, q.date ? proto::kHistoryMinuteHeader : proto::kMinuteHeader,
                           out);
            break;
        default:
            return Error{ErrorKind::Value, "not a table query", 0};
    }
    return {};
}

uint32_t rows_wanted(const Query& q) {
    switch (q.kind) {
        case QueryKind::Bars:
        case QueryKind::Ticks:
            return q.start == 0 ? 1 : 0;
        case QueryKind::Quotes:
        case QueryKind::Minutes:
            return 1;
        default:
            return q.at_least;
    }
}

std::string grouped(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t k = 0; k < digits.size(); ++k) {
        if (k > 0 && (digits.size() - k) % 3 == 0) out += ',';
        out += digits[k];
    }
    return out;
}

std::string query_text(const Query& q) {
    const std::string market = q.market == 1   ? "sh"
                               : q.market == 0 ? "sz"
                                               : std::to_string(q.market) + ":";
    switch (q.kind) {
        case QueryKind::SecurityCount:
            return "the security count of " + market;
        case QueryKind::SecurityList:
            return "the security list of " + market + " at " + grouped(q.start);
        case QueryKind::Securities:
            return "the securities of " + market + " at " + grouped(q.start);
        case QueryKind::Xdxr:
            return "the ex-rights records of " + market + q.code;
        case QueryKind::Finance:
            return "the finance summary of " + market + q.code;
        case QueryKind::Quotes:
            return "quotes of " + std::to_string(q.items.size()) + " securities";
        default:
            return market + q.code;
    }
}

}  // namespace pelmora::engine
