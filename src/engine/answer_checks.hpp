// What an answer announces, checked before the engine believes it: its count of records, all of
// them whole, and no bytes after them where the layout leaves no room. `pelmora._core` decodes
// what it can of a short body; the engine refuses it, so that a body cut in half or an answer
// to another command becomes a failure of the exchange (asked again elsewhere), never a short or
// empty table. Each failure is a RuntimeError-kind "Malformed ... response: ..." error.
//
// An empty body is an answer of no records wherever `_core` reads one so; the count and list
// commands need their count (as in `_core`). Bars are checked while they are decoded
// (engine/bar_columns_decoder.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/error.hpp"

namespace pelmora::engine {

// A security list page (codes and securities alike): whole records as announced, each code six
// ASCII letters or digits.
Status check_security_list_answer(const uint8_t* body, size_t n);
Status check_quotes_answer(const uint8_t* body, size_t n);
Status check_xdxr_answer(const uint8_t* body, size_t n);
// Sets `none` for the answer of a server that has no summary of the security.
Status check_finance_answer(const uint8_t* body, size_t n, bool& none);
Status check_ticks_answer(const uint8_t* body, size_t n, bool history);
Status check_minutes_answer(const uint8_t* body, size_t n, bool history);

}  // namespace pelmora::engine
