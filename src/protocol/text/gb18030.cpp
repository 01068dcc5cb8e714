// The WHATWG gb18030 decoder. The standard states it as a byte-at-a-time state machine that
// "puts back" bytes after an error; here each sequence is matched by looking ahead instead, and
// a put-back is simply advancing past fewer bytes than were examined.
#include <algorithm>

#include "protocol/text/gb18030_tables.hpp"
#include "protocol/text/text.hpp"
#include "protocol/text/utf8_writer.hpp"

namespace pelmora::text {

namespace {

constexpr bool is_digit(uint8_t b) {
    return b >= 0x30 && b <= 0x39;
}
constexpr bool is_lead(uint8_t b) {
    return b >= 0x81 && b <= 0xFE;
}

// Code point of a two-byte sequence, or 0 when `trail` cannot follow a lead byte.
char16_t two_byte_code_point(uint8_t lead, uint8_t trail) {
    if (trail < 0x40 || trail == 0x7F || trail == 0xFF) return 0;
    const size_t pointer = (lead - 0x81) * 190 + (trail - (trail < 0x7F ? 0x40 : 0x41));
    return detail::gb18030_index[pointer];
}

// Code point of a four-byte sequence's pointer, or 0 when it has none.
char32_t ranges_code_point(uint32_t pointer) {
    if ((pointer > 39419 && pointer < 189000) || pointer > 1237575) return 0;
    // The table sends 7457 to U+1E3F, which two-byte A8 BC now decodes to; the four-byte form
    // takes over the private-use code point A8 BC had before.
    if (pointer == 7457) return 0xE7C7;
    const uint32_t* first = detail::gb18030_range_pointers;
    const uint32_t* last = first + detail::kGb18030RangeCount;
    // first[0] is 0, so the entry before upper_bound always exists.
    const size_t k = static_cast<size_t>(std::upper_bound(first, last, pointer) - first) - 1;
    return detail::gb18030_range_code_points[k] + (pointer - first[k]);
}

}  // namespace

void append_gb18030(const uint8_t* p, size_t n, std::string& out) {
    // Each step writes at most 3 bytes per input byte it consumes: 2 or 4 bytes of a sequence
    // give at most 3 or 4, and a U+FFFD or euro sign consumes at least one byte.
    detail::Utf8Writer w(out, 3 * n);
    size_t i = 0;
    while (i < n) {
        const uint8_t b = p[i];
        if (b < 0x80) {
            const size_t run = detail::ascii_run(p + i, n - i);
            w.put_bytes(p + i, run);
            i += run;
            continue;
        }
        if (!is_lead(b)) {  // 0x80 stands alone for the euro sign; 0xFF is never valid
            b == 0x80 ? w.put(0x20AC) : w.put_replacement();
            ++i;
            continue;
        }
        // Input ending inside a sequence, however far in, costs one U+FFFD.
        if (i + 1 == n) {
            w.put_replacement();
            break;
        }
        const uint8_t b2 = p[i + 1];
        if (is_digit(b2)) {
            if (i + 2 == n || (is_lead(p[i + 2]) && i + 3 == n)) {
                w.put_replacement();
                break;
            }
            if (!is_lead(p[i + 2]) || !is_digit(p[i + 3])) {
                w.put_replacement();  // the bytes after the lead are read again
                ++i;
                continue;
            }
            const uint32_t pointer = (b - 0x81) * 12600 + (b2 - 0x30) * 1260 +
                                     (p[i + 2] - 0x81) * 10 + (p[i + 3] - 0x30);
            const char32_t cp = ranges_code_point(pointer);
            cp ? w.put(cp) : w.put_replacement();
            i += 4;
            continue;
        }
        const char16_t cp = two_byte_code_point(b, b2);
        if (cp) {
            w.put(cp);
            i += 2;
        } else {
            w.put_replacement();
            i += b2 < 0x80 ? 1 : 2;  // an ASCII second byte is read again as itself
        }
    }
}

}  // namespace pelmora::text
