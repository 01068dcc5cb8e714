// Response body inflation: first two bytes give the announced plain size, the rest is the wire.
#include <cstdlib>

#include "network/inflate.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    size_t plain = data[0] | (data[1] << 8);
    pelmora::Bytes wire(data + 2, data + size);
    pelmora::Bytes out;
    pelmora::Status s = pelmora::net::inflate_exact(wire.data(), wire.size(), plain, out);
    if (s.ok() && out.size() != plain) abort();
    return 0;
}
