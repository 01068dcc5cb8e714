// Text decoders: any bytes give valid UTF-8 of bounded length, and never read out of bounds.
#include <cstdlib>
#include <memory>

#include "protocol/text/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // An exact-size copy, so that any read past the end is caught.
    size_t n = size - 1;
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[n]);
    std::copy(data + 1, data + size, bytes.get());
    std::string out;
    switch (data[0] % 3) {
        case 0: pelmora::text::append_gbk_text(bytes.get(), n, out); break;
        case 1: pelmora::text::append_gb18030(bytes.get(), n, out); break;
        default: pelmora::text::append_utf8_lossy(bytes.get(), n, out); break;
    }
    if (!pelmora::text::is_valid_utf8(reinterpret_cast<const uint8_t*>(out.data()), out.size())) abort();
    // Every input byte yields at most one character of at most 4 bytes, plus one U+FFFD at the end.
    if (out.size() > 4 * n + 3) abort();
    return 0;
}
