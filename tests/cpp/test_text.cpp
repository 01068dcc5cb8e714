// Self-checks of the text decoders that need no Python; tools/check_text.sh runs them in a plain
// and in an AddressSanitizer/UBSan build, which is what catches a write past the space a decoder
// reserved. Exact decoding results are checked against oracles by check_text.py.
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/text/text.hpp"

namespace {

using namespace pelmora::text;
using Decoder = void (*)(const uint8_t*, size_t, std::string&);

int failures = 0;

void fail(const char* what, const std::vector<uint8_t>& in) {
    if (++failures > 20) return;
    std::fprintf(stderr, "FAIL %s:", what);
    for (uint8_t b : in) std::fprintf(stderr, " %02X", b);
    std::fprintf(stderr, "\n");
}

const struct {
    const char* name;
    Decoder decode;
} kDecoders[] = {
    {"gb18030", append_gb18030}, {"gbk", append_gbk_text}, {"utf8", append_utf8_lossy}};

// Every input of up to four bytes over an alphabet holding a member of each byte class the
// decoders tell apart (ASCII, gb18030 digits, lead and trail ranges, UTF-8 leads with narrowed
// continuation ranges, surrogate halves, the byte-order marks): the output must be valid UTF-8
// appended after what `out` already held, and valid UTF-8 must come through unchanged.
void check_small_inputs() {
    const uint8_t alphabet[] = {0x00, 0x30, 0x39, 0x41, 0x7F, 0x80, 0x81, 0x84, 0x8F,
                                0x90, 0x9F, 0xA4, 0xBB, 0xBF, 0xC2, 0xD8, 0xDC, 0xE0,
                                0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFE, 0xFF};
    const size_t k = sizeof alphabet;
    std::vector<uint8_t> in;
    for (size_t len = 0; len <= 4; ++len) {
        size_t total = 1;
        for (size_t i = 0; i < len; ++i) total *= k;
        for (size_t code = 0; code < total; ++code) {
            in.resize(len);
            for (size_t i = 0, c = code; i < len; ++i, c /= k) in[i] = alphabet[c % k];
            for (const auto& d : kDecoders) {
                std::string out = "pre";
                d.decode(in.data(), in.size(), out);
                const auto* added = reinterpret_cast<const uint8_t*>(out.data()) + 3;
                if (out.compare(0, 3, "pre") != 0 || !is_valid_utf8(added, out.size() - 3)) {
                    fail(d.name, in);
                }
            }
            std::string copy;
            append_utf8_lossy(in.data(), in.size(), copy);
            if (is_valid_utf8(in.data(), in.size()) && copy != std::string(in.begin(), in.end())) {
                fail("utf8 passthrough", in);
            }
        }
    }
}

// The ASCII scan goes eight bytes at a time: put one bad byte at every offset of a run longer
// than two words, and check nothing around it is lost or repeated.
void check_ascii_runs() {
    for (size_t at = 0; at < 24; ++at) {
        std::vector<uint8_t> in(24, 'a');
        in[at] = 0xFF;
        in[(at + 7) % 24] = 0x00;
        std::string expected(in.begin(), in.end());
        expected.replace(at, 1, "\xEF\xBF\xBD");
        for (const auto& d : kDecoders) {
            std::string out;
            d.decode(in.data(), in.size(), out);
            if (out != expected) fail(d.name, in);
            if (is_valid_utf8(in.data(), in.size())) fail("valid", in);
        }
    }
}

// Inputs that cost three output bytes per input byte (1.5 for UTF-16), at every length around
// the switch from the decoders' small local buffer to writing straight into the string: any
// undercount of the space either needs overflows it.
void check_worst_case_growth() {
    const std::string euro = "\xE2\x82\xAC", replacement = "\xEF\xBF\xBD";
    const struct {
        Decoder decode;
        std::vector<uint8_t> mark;  // byte-order mark in front of the repeated byte
        uint8_t byte;
        size_t per_char;  // input bytes per output character
        const std::string& each;
    } cases[] = {{append_gb18030, {}, 0x80, 1, euro},
                 {append_gb18030, {}, 0xFF, 1, replacement},
                 {append_utf8_lossy, {}, 0x80, 1, replacement},
                 {append_gbk_text, {0xEF, 0xBB, 0xBF}, 0xFF, 1, replacement},
                 {append_gbk_text, {0xFF, 0xFE}, 0xDC, 2, replacement},
                 {append_gbk_text, {0xFE, 0xFF}, 0xDC, 2, replacement}};
    for (const auto& c : cases) {
        for (size_t len = 0; len < 80; ++len) {  // odd lengths end UTF-16 on a lone byte
            std::vector<uint8_t> in = c.mark;
            in.resize(c.mark.size() + len, c.byte);
            std::string out = "pre", expected = "pre";
            for (size_t i = 0; i < len; i += c.per_char) expected += c.each;
            c.decode(in.data(), in.size(), out);
            if (out != expected) fail("worst case", in);
        }
    }
}

}  // namespace

int main() {
    check_small_inputs();
    check_ascii_runs();
    check_worst_case_growth();
    if (failures) {
        std::fprintf(stderr, "%d failure(s)\n", failures);
        return 1;
    }
    std::puts("test_text: ok");
    return 0;
}
