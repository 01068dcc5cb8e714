// Output side shared by the decoders: a cursor into space reserved once for the worst case, and
// the scan for runs of ASCII that every decoder copies through unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace pelmora::text::detail {

// Writes UTF-8 through a raw pointer into space sized by the caller's upper bound of the bytes
// it will write, so no write checks capacity. Short texts (security names, mostly) go through a
// local buffer and are appended once at the end: growing `out` by the worst case up front would
// push a result that fits the string's inline storage onto the heap.
class Utf8Writer {
public:
    Utf8Writer(std::string& out, size_t max_bytes) : out_(out), start_(out.size()) {
        if (max_bytes <= sizeof local_) {
            begin_ = local_;
        } else {
            out.resize(start_ + max_bytes);
            begin_ = out.data() + start_;
        }
        cur_ = begin_;
    }
    ~Utf8Writer() {
        const size_t written = static_cast<size_t>(cur_ - begin_);
        if (begin_ == local_) {
            out_.append(local_, written);
        } else {
            out_.resize(start_ + written);
        }
    }
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
    size_t start_;
    char* begin_;
    char* cur_;
    char local_[96];
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
