// UTF-8 validation and lossy decoding, both built on one scan of a non-ASCII sequence so that
// "valid" means the same thing to each.
#include "protocol/text/text.hpp"
#include "protocol/text/utf8_writer.hpp"

namespace pelmora::text {

namespace {

struct Sequence {
    size_t length;  // bytes consumed: the whole character, or the maximal invalid subpart
    bool valid;
};

// Scans the sequence starting at the non-ASCII byte p[0] (n >= 1). The allowed range of the
// first continuation byte depends on the lead byte; that is what rules out overlong forms,
// surrogates and values past U+10FFFF.
Sequence scan_sequence(const uint8_t* p, size_t n) {
    const uint8_t b = p[0];
    size_t needed;
    uint8_t lower = 0x80;
    uint8_t upper = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        needed = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        needed = 2;
        if (b == 0xE0) lower = 0xA0;
        if (b == 0xED) upper = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        needed = 3;
        if (b == 0xF0) lower = 0x90;
        if (b == 0xF4) upper = 0x8F;
    } else {
        return {1, false};
    }
    for (size_t k = 1; k <= needed; ++k) {
        if (k == n) return {n, false};
        if (p[k] < lower || p[k] > upper) return {k, false};
        lower = 0x80;
        upper = 0xBF;
    }
    return {needed + 1, true};
}

}  // namespace

void append_utf8_lossy(const uint8_t* p, size_t n, std::string& out) {
    detail::Utf8Writer w(out, 3 * n);  // worst case: every byte an invalid subpart of its own
    size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            const size_t run = detail::ascii_run(p + i, n - i);
            w.put_bytes(p + i, run);
            i += run;
            continue;
        }
        const Sequence s = scan_sequence(p + i, n - i);
        s.valid ? w.put_bytes(p + i, s.length) : w.put_replacement();
        i += s.length;
    }
}

bool is_valid_utf8(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            i += detail::ascii_run(p + i, n - i);
            continue;
        }
        const Sequence s = scan_sequence(p + i, n - i);
        if (!s.valid) return false;
        i += s.length;
    }
    return true;
}

}  // namespace pelmora::text
