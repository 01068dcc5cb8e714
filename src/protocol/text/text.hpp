// Text decoders for the strings the servers and the data files carry. Every function appends
// valid UTF-8 to `out`, keeps what `out` already holds, and never fails: each malformed sequence
// becomes U+FFFD. Zero bytes are ordinary characters (U+0000).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pelmora::text {

// The WHATWG gb18030 decoder (a superset of GBK), including its error recovery.
void append_gb18030(const uint8_t* p, size_t n, std::string& out);

// "GBK text": a leading UTF-8 byte-order mark (EF BB BF) selects UTF-8, FF FE selects UTF-16LE,
// FE FF selects UTF-16BE (the mark itself is dropped); anything else is gb18030.
void append_gbk_text(const uint8_t* p, size_t n, std::string& out);

// UTF-8 with each maximal invalid subpart replaced by U+FFFD, exactly as Python's
// bytes.decode("utf-8", "replace").
void append_utf8_lossy(const uint8_t* p, size_t n, std::string& out);

// True when the bytes are well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
bool is_valid_utf8(const uint8_t* p, size_t n);

}  // namespace pelmora::text
