// The engine's inflater where the build found no libdeflate: zlib's streaming inflate, as the
// single-connection client uses.
#include <zlib.h>

#include "engine/fast_inflate.hpp"
#include "network/inflate.hpp"

namespace pelmora::engine {

FastInflater::FastInflater() : d_(nullptr) {}

FastInflater::~FastInflater() = default;

Status FastInflater::inflate(const uint8_t* wire, size_t wire_size, size_t out_size, Bytes& out) {
    return net::inflate_exact(wire, wire_size, out_size, out);
}

std::string inflater_name() {
    return std::string("zlib ") + zlibVersion();
}

}  // namespace pelmora::engine
