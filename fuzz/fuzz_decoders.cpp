// Every response decoder on hostile bodies: the first byte picks the decoder, the next two a
// parameter (the K-line category); the body is an exact-size heap copy so that ASan sees any
// read past its end.
#include <cstdlib>
#include <vector>

#include "protocol/bars.hpp"
#include "protocol/company_info.hpp"
#include "protocol/finance.hpp"
#include "protocol/minute_time.hpp"
#include "protocol/quotes.hpp"
#include "protocol/security_list.hpp"
#include "protocol/server_files.hpp"
#include "protocol/transactions.hpp"
#include "protocol/xdxr.hpp"

namespace proto = pelmora::proto;

namespace {

// Decodes with a sink that counts records, aborts when the decoder reports a stop it was not
// asked for, and returns the count.
template <class Decode>
size_t count_records(Decode&& decode) {
    size_t count = 0;
    if (!decode([&](const auto&) {
            ++count;
            return true;
        }))
        abort();
    return count;
}

// The sink's stop must end decoding at once.
template <class Decode>
void check_stop(Decode&& decode) {
    size_t calls = 0;
    const bool finished = decode([&](const auto&) {
        ++calls;
        return false;
    });
    if (calls > 1 || (calls == 1 && finished)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t selector = data[0];
    const uint16_t param = uint16_t(data[1] | (data[2] << 8));
    const std::vector<uint8_t> copy(data + 3, data + size);
    const uint8_t* b = copy.data();
    const size_t n = copy.size();
    auto run = [&](auto&& decode) {
        check_stop(decode);
        return count_records(decode);
    };
    switch (selector % 12) {
        case 0:
            if (run([&](auto&& s) { return proto::decode_security_count(b, n, s); }) != (n >= 2))
                abort();
            break;
        case 1:
            if (run([&](auto&& s) { return proto::decode_security_list(b, n, s); }) !=
                proto::security_list_bound(b, n))
                abort();
            break;
        case 2:
            if (run([&](auto&& s) { return proto::decode_company_info_category(b, n, s); }) !=
                proto::company_info_category_bound(b, n))
                abort();
            break;
        case 3:
            if (run([&](auto&& s) { return proto::decode_company_info_content(b, n, s); }) != 1)
                abort();
            break;
        case 4:
            if (run([&](auto&& s) { return proto::decode_block_info_meta(b, n, s); }) !=
                proto::check_block_info_meta(n).ok())
                abort();
            break;
        case 5:
            if (run([&](auto&& s) { return proto::decode_file_chunk(b, n, s); }) != 1) abort();
            break;
        case 6:
            if (run([&](auto&& s) { return proto::decode_xdxr(b, n, s); }) !=
                proto::xdxr_bound(b, n))
                abort();
            break;
        case 7:
            if (run([&](auto&& s) { return proto::decode_finance(b, n, s); }) != (n > 140)) abort();
            break;
        case 8: {
            const bool index = param & 0x8000;
            const uint16_t category = param & 0x7FFF;
            if (run([&](auto&& s) { return proto::decode_bars(b, n, category, index, s); }) >
                proto::bars_bound(b, n, index))
                abort();
            break;
        }
        case 9:
            if (run([&](auto&& s) { return proto::decode_quotes(b, n, s); }) >
                proto::quotes_bound(b, n))
                abort();
            break;
        case 10: {
            const size_t header = param & 1 ? 6 : 4;
            if (run([&](auto&& s) { return proto::decode_minute_time(b, n, header, s); }) >
                proto::minute_time_bound(b, n, header))
                abort();
            break;
        }
        case 11:
            if (run([&](auto&& s) { return proto::decode_transactions(b, n, param & 1, s); }) >
                proto::transactions_bound(b, n, param & 1))
                abort();
            break;
    }
    return 0;
}
