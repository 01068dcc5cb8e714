// The non-bar query kinds: each kind's request and the decoding of its answer into a table,
// with the protocol's own decoders. One request, one table; the pool runs them like bars.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "engine/batch.hpp"
#include "engine/table_columns.hpp"

namespace pelmora::engine {

bool is_table_kind(QueryKind kind);

// The columns a kind's table holds.
const TableSchema& table_schema(QueryKind kind);

Status table_request(const Query& q, Bytes& out);

// Replaces `out` with the rows of the answer; fails for a body that cannot be such an answer.
Status decode_table(const Query& q, const uint8_t* body, size_t n, TableColumns& out);

// Rows below which an answer is checked with another server before it is believed: one for
// the kinds whose empty answer is unexpected (a server that stopped serving data answers every
// such request empty), the query's at_least for the kinds that take one.
uint32_t rows_wanted(const Query& q);

// What a query asks for, as warnings name it: "the security count of sz", ...
std::string query_text(const Query& q);

// "4,200".
std::string grouped(uint64_t n);

}  // namespace pelmora::engine
