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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t selector = data[0];
    const uint16_t param = uint16_t(data[1] | (data[2] << 8));
    const pelmora::Bytes body(data + 3, data + size);
    switch (selector % 12) {
        case 0: {
            uint16_t count;
            (void)proto::decode_security_count(body, count);
            break;
        }
        case 1: {
            std::vector<proto::SecurityRecord> out;
            if (proto::decode_security_list(body, out).ok() && out.size() > (body.size() - 2) / 29)
                abort();
            break;
        }
        case 2: {
            std::vector<proto::CompanyInfoCategory> out;
            proto::decode_company_info_category(body, out);
            if (out.size() > body.size() / 152) abort();
            break;
        }
        case 3: {
            std::string out;
            proto::decode_company_info_content(body, out);
            break;
        }
        case 4: {
            proto::BlockMeta meta;
            (void)proto::decode_block_info_meta(body, meta);
            break;
        }
        case 5: {
            proto::FileChunk chunk = proto::decode_file_chunk(body);
            (void)chunk;
            break;
        }
        case 6: {
            std::vector<proto::XdxrRecord> out;
            proto::decode_xdxr(body, out);
            if (out.size() > body.size() / 29) abort();
            break;
        }
        case 7: {
            proto::FinanceRecord record;
            if (proto::decode_finance(body, record) != (body.size() > 140)) abort();
            break;
        }
        case 8: {
            // Every bar takes at least 4 + 4 + 8 bytes, or 4 more with the index tail.
            const bool index = param & 0x8000;
            auto bars = proto::decode_bars(body, param & 0x7FFF, index);
            if (body.size() >= 2 && bars.size() * (index ? 20 : 16) > body.size() - 2) abort();
            break;
        }
        case 9: {
            auto quotes = proto::decode_quotes(body);
            if (quotes.size() * 20 > body.size()) abort();
            break;
        }
        case 10: {
            auto records = proto::decode_minute_time(body, param & 1 ? 6 : 4);
            if (records.size() > body.size()) abort();
            break;
        }
        case 11: {
            auto records = proto::decode_transactions(body, param & 1);
            if (records.size() * 2 > body.size()) abort();
            break;
        }
    }
    return 0;
}
