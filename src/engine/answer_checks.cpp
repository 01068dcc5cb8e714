#include "engine/answer_checks.hpp"

#include <string>

#include "common/bytes.hpp"
#include "protocol/fields.hpp"
#include "protocol/finance.hpp"
#include "protocol/minute_time.hpp"
#include "protocol/quotes.hpp"
#include "protocol/security_list.hpp"
#include "protocol/transactions.hpp"
#include "protocol/xdxr.hpp"

namespace pelmora::engine {

namespace {

Error malformed(const char* what, const std::string& why) {
    return Error{ErrorKind::Runtime, std::string("Malformed ") + what + " response: " + why, 0};
}

std::string count_text(size_t got, size_t announced, const char* records) {
    return std::to_string(got) + " whole " + records + " of " + std::to_string(announced) +
           " announced";
}

// Steps over `count` variable-length values, each of which must end inside the body.
bool step_values(const uint8_t* body, size_t n, size_t& at, size_t count) {
    for (size_t k = 0; k < count; ++k) {
        if (at >= n) return false;
        proto::skip_price(body, n, at);  // one past the end when the body cuts the value
        if (at > n) return false;
    }
    return true;
}

bool step_bytes(size_t n, size_t& at, size_t count) {
    if (at + count > n) return false;
    at += count;
    return true;
}

bool is_code_byte(uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Records of variable length follow each other to the end of the body: `walk` steps over one
// (false when the body cuts it). All announced ones must be whole, and nothing may follow them.
template <class Walk>
Status check_sequence(size_t n, size_t first, size_t announced, const char* what,
                      const char* records, Walk&& walk) {
    size_t at = first;
    for (size_t k = 0; k < announced; ++k)
        if (!walk(at)) return malformed(what, count_text(k, announced, records));
    if (at != n)
        return malformed(what, std::to_string(n - at) + " bytes after the " +
                                   std::to_string(announced) + " " + records + " announced");
    return {};
}

// Fixed-size records after a count: all announced ones whole. Bytes after them are tolerated
// up to less than a record (a partial last record, as `_core` ignores it); a whole record more
// means the count is not this body's.
Status check_records(size_t n, size_t first, size_t size, size_t announced, const char* what,
                     const char* records) {
    const size_t whole = (n - first) / size;
    if (whole < announced) return malformed(what, count_text(whole, announced, records));
    if (whole > announced)
        return malformed(what, std::to_string(whole) + " " + records + " where " +
                                   std::to_string(announced) + " are announced");
    return {};
}

}  // namespace

Status check_security_list_answer(const uint8_t* body, size_t n) {
    if (Status s = proto::check_security_list(n); !s) return s;
    const size_t announced = load_u16(body);
    if (Status s =
            check_records(n, 2, proto::kSecurityRecordSize, announced, "security list", "records");
        !s)
        return s;
    for (size_t k = 0; k < announced; ++k) {
        const uint8_t* code = body + 2 + k * proto::kSecurityRecordSize;
        for (size_t c = 0; c < proto::kSecurityCodeSize; ++c)
            if (!is_code_byte(code[c]))
                return malformed("security list", "record " + std::to_string(k) +
                                                      " holds no code of six letters or digits");
    }
    return {};
}

Status check_quotes_answer(const uint8_t* body, size_t n) {
    if (n == 0) return {};
    if (n < proto::kFirstQuote) return malformed("quotes", std::to_string(n) + " bytes");
    // Every value an entry gives must be whole. The trailer after them (read by nobody) must be
    // whole too, except the last entry's, which the body may end inside, as `_core` allows:
    // what follows an entry whose trailer is cut can only be the end of the body.
    const size_t announced = load_u16(body + proto::kQuoteCountAt);
    size_t entry = 0;
    return check_sequence(n, proto::kFirstQuote, announced, "quotes", "entries", [&](size_t& at) {
        if (!(step_bytes(n, at, proto::kQuoteFixed) &&
              step_values(body, n, at, proto::kQuoteValuesBeforeAmount) && step_bytes(n, at, 4) &&
              step_values(body, n, at, proto::kQuoteValuesAfterAmount) && at < n))
            return false;
        const bool last = ++entry == announced;
        if (step_bytes(n, at, 2) && step_values(body, n, at, proto::kQuoteTrailerValues) &&
            step_bytes(n, at, 4))
            return true;
        if (!last) return false;
        at = n;  // the last trailer, cut by the end of the body
        return true;
    });
}

Status check_xdxr_answer(const uint8_t* body, size_t n) {
    if (n == 0) return {};
    if (n < proto::kXdxrFirstRecord) return malformed("xdxr", std::to_string(n) + " bytes");
    return check_records(n, proto::kXdxrFirstRecord, proto::kXdxrRecordSize,
                         load_u16(body + proto::kXdxrCountOffset), "xdxr", "records");
}

// The record starts at offset 9. Before it the server puts the number of records it sends (0 or
// 1, a u16), the market and the code: `_core` reads none of them, but a body too short for the
// record is believed empty only when it announces none (an index has no summary). Bytes after
// the record are not read.
// One record: bytes past it are tolerated (nothing reads them), but not a second record's worth
// and more, which no answer of one security holds (a body of 65,535 zeros, say).
Status check_finance_answer(const uint8_t* body, size_t n, bool& none) {
    none = n == 0 || (n < proto::kFinanceRecordEnd && n >= 2 && load_u16(body) == 0);
    if (none) return {};
    if (n < proto::kFinanceRecordEnd)
        return malformed("finance", std::to_string(n) + " bytes, short of the " +
                                        std::to_string(proto::kFinanceRecordEnd) + "-byte record");
    if (n >= 2 * proto::kFinanceRecordEnd)
        return malformed("finance", std::to_string(n) + " bytes, where one record takes " +
                                        std::to_string(proto::kFinanceRecordEnd));
    return {};
}

Status check_ticks_answer(const uint8_t* body, size_t n, bool history) {
    const size_t header = history ? proto::kHistoryTransactionHeader : proto::kTransactionHeader;
    const size_t values = history ? proto::kHistoryTransactionValues : proto::kTransactionValues;
    if (n == 0) return {};
    if (n < header) return malformed("ticks", std::to_string(n) + " bytes");
    return check_sequence(n, header, load_u16(body), "ticks", "ticks", [&](size_t& at) {
        return step_bytes(n, at, 2) && step_values(body, n, at, values);
    });
}

Status check_minutes_answer(const uint8_t* body, size_t n, bool history) {
    const size_t header = history ? proto::kHistoryMinuteHeader : proto::kMinuteHeader;
    if (n == 0) return {};
    if (n < header) return malformed("minutes", std::to_string(n) + " bytes");
    return check_sequence(n, header, load_u16(body), "minutes", "minutes", [&](size_t& at) {
        return step_values(body, n, at, proto::kMinuteValues);
    });
}

}  // namespace pelmora::engine
