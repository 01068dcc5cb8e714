// Checks the word-at-a-time field readers against the byte readers: volume_of against
// read_volume for every exponent and top fraction byte, read_price_word and read_price_short
// against read_price on values of every length. Prints the first differences and exits 1.
//   packed_fields SEED
#include "protocol/packed_fields.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace proto = pelmora::proto;

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::mt19937_64 rng(std::strtoull(argv[1], nullptr, 10));
    int bad = 0;
    auto differ = [&](const char* what, unsigned long long input) {
        if (bad++ < 5) std::printf("%s differs for %llx\n", what, input);
    };

    for (uint32_t high = 0; high <= 0xFFFF; ++high)
        for (uint32_t low : {0u, 1u, 0x80u, 0xFFFFu, uint32_t(rng() & 0xFFFF)}) {
            const uint32_t word = high << 16 | low;
            const double fast = proto::volume_of(word), ref = proto::read_volume(word);
            if (std::memcmp(&fast, &ref, sizeof fast) != 0) differ("volume_of", word);
        }

    uint8_t buf[16];
    for (int i = 0; i < 200000; ++i) {
        for (uint8_t& b : buf) b = uint8_t(rng());
        const unsigned len = 1 + unsigned(rng() % 10);  // bytes of the value, 9 and 10 too long
        for (unsigned k = 0; k < len; ++k)
            buf[k] = uint8_t(k + 1 < len ? buf[k] | 0x80 : buf[k] & 0x7F);
        size_t cursor = 0;
        const int64_t ref = proto::read_price(buf, sizeof buf, cursor);
        int64_t word = 0, shrt = 0;
        const unsigned word_len = proto::read_price_word(buf, word);
        const unsigned short_len = proto::read_price_short(buf, shrt);
        if (word_len != (len <= 8 ? len : 0) || (word_len && word != ref))
            differ("read_price_word", ref);
        if (short_len != (len <= 4 ? len : 0) || (short_len && shrt != ref))
            differ("read_price_short", ref);
    }
    if (bad) return 1;
    std::printf("ok\n");
    return 0;
}
