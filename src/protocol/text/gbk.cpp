// "GBK text": gb18030 unless a byte-order mark announces UTF-8 or UTF-16. UTF-16 appears
// nowhere else, so its decoder lives here.
#include "protocol/text/text.hpp"
#include "protocol/text/utf8_writer.hpp"

namespace pelmora::text {

namespace {

// The WHATWG UTF-16 decoder: an unpaired surrogate becomes U+FFFD and the code unit after a lone
// high surrogate is read again; input ending early (an odd byte, a high surrogate, or both)
// costs a single U+FFFD.
template <bool kBigEndian>
void append_utf16(const uint8_t* p, size_t n, std::string& out) {
    const auto unit = [p](size_t i) -> char32_t {
        return kBigEndian ? (p[i] << 8 | p[i + 1]) : (p[i + 1] << 8 | p[i]);
    };
    // Each 2-byte unit gives at most 3 bytes (a pair gives 4 for 4), plus one U+FFFD at the end.
    detail::Utf8Writer w(out, n / 2 * 3 + 3);
    size_t i = 0;
    bool ended_early = n % 2 != 0;
    while (i + 2 <= n) {
        const char32_t u = unit(i);
        i += 2;
        if (u < 0xD800 || u > 0xDFFF) {
            w.put(u);
        } else if (u >= 0xDC00) {
            w.put_replacement();
        } else if (i + 2 > n) {
            ended_early = true;  // one U+FFFD stands for the surrogate and any odd byte after it
        } else if (const char32_t low = unit(i); low >= 0xDC00 && low <= 0xDFFF) {
            w.put(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
            i += 2;
        } else {
            w.put_replacement();
        }
    }
    if (ended_early) w.put_replacement();
}

}  // namespace

void append_gbk_text(const uint8_t* p, size_t n, std::string& out) {
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        append_utf8_lossy(p + 3, n - 3, out);
    } else if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
        append_utf16<false>(p + 2, n - 2, out);
    } else if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) {
        append_utf16<true>(p + 2, n - 2, out);
    } else {
        append_gb18030(p, n, out);
    }
}

}  // namespace pelmora::text
