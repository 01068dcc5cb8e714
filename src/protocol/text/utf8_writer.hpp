// Output side shared by the decoders: a cursor into a std::string grown once up front, and the
// scan for runs of ASCII that every decoder copies through unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace pelmora::text::detail {

// Writes UTF-8 through a raw pointer. The constructor grows `out` by the caller's upper bound of
// the bytes it will write, so no write checks capacity; the destructor trims the unused tail.
class Utf8Writer {
public:
    Utf8Writer(std::string& out, size_t max_bytes) : out_(out) {
        const size_t start = out.size();
        out.resize(start + max_bytes);
        cur_ = out.data() + start;
    }
    ~Utf8Writer() { out_.resize(static_cast<size_t>(cur_ - out_.data())); }
    Utf8Writer(const Utf8Writer&) = delete;
    Utf8Writer& operator=(const Utf8Writer&) = delete;

    // `cp` is a Unicode scalar value (never a surrogate): at most 4 bytes.
    void put(char32_t cp) {
        if (cp < 0x80) {
            *cur_++ = static_cast<char>(cp);
        } else if (cp < 0x800) {
            cur_[0] = static_cast<char>(0xC0 | (cp >> 6));
            cur_[1] = static_cast<char>(0x80 | (cp & 0x3F));
            cur_ += 2;
        } else if (cp < 0x10000) {
            cur_[0] = static_cast<char>(0xE0 | (cp >> 12));
            cur_[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            cur_[2] = static_cast<char>(0x80 | (cp & 0x3F));
            cur_ += 3;
        } else {
            cur_[0] = static_cast<char>(0xF0 | (cp >> 18));
            cur_[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            cur_[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            cur_[3] = static_cast<char>(0x80 | (cp & 0x3F));
            cur_ += 4;
        }
    }
    void put_replacement() {
        std::memcpy(cur_, "\xEF\xBF\xBD", 3);
        cur_ += 3;
    }
    // Bytes already known to be valid UTF-8 (ASCII runs, checked sequences); n >= 1.
    void put_bytes(const uint8_t* p, size_t n) {
        std::memcpy(cur_, p, n);
        cur_ += n;
    }

private:
    std::string& out_;
    char* cur_;
};

// Length of the run of ASCII bytes at the start of p[0, n), eight bytes at a time.
inline size_t ascii_run(const uint8_t* p, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word & 0x8080808080808080ULL) break;
    }
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

}  // namespace pelmora::text::detail
