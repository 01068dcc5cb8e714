// What one connection was answered: a digest of each answer beside a digest of the request it
// answered. Request bytes are fixed per command and parameters, and the header echoes nothing
// that tells one request from another, so a server that sends an answer again, unasked, makes
// the next request read it as its own with a header that fits. Its content gives it away: an
// answer identical to one this connection already received for another request is a repeat.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace pelmora::engine {

// A fast 64-bit hash of bytes (not cryptographic: servers are not trying to collide).
uint64_t digest64(const uint8_t* data, size_t size);

struct AnswerDigest {
    uint64_t hash = 0;
    uint32_t size = 0;  // of the wire bytes hashed: a second check beside the hash
};

class AnswerLog {
public:
    // The last kEntries answers of a connection are kept: a repeat comes a moment later.
    static constexpr size_t kEntries = 256;

    void clear() { used_ = next_ = 0; }

    // False when `answer` was received before as the answer to another request; records it
    // otherwise. Callers pass answers that hold records only: two requests may rightly get the
    // same empty answer.
    bool admit(const AnswerDigest& answer, uint64_t request);

private:
    struct Entry {
        AnswerDigest answer;
        uint64_t request;
    };
    std::array<Entry, kEntries> entries_;
    size_t used_ = 0, next_ = 0;
};

}  // namespace pelmora::engine
