// The engine's inflater where the build found libdeflate.
#include <libdeflate.h>

#include <new>

#include "engine/fast_inflate.hpp"
#include "network/inflate.hpp"

namespace pelmora::engine {

FastInflater::FastInflater() : d_(libdeflate_alloc_decompressor()) {
    if (!d_) throw std::bad_alloc();
}

FastInflater::~FastInflater() {
    libdeflate_free_decompressor(d_);
}

Status FastInflater::inflate(const uint8_t* wire, size_t wire_size, size_t out_size, Bytes& out) {
    out.resize(out_size);
    size_t produced = 0;
    switch (libdeflate_zlib_decompress(d_, wire, wire_size, out.data(), out_size, &produced)) {
        case LIBDEFLATE_SUCCESS:
            if (produced == out_size) return {};
            return io_error("failed to fill whole buffer");
        case LIBDEFLATE_INSUFFICIENT_SPACE:
            return net::inflate_exact(wire, wire_size, out_size, out);
        case LIBDEFLATE_SHORT_OUTPUT:
            return io_error("failed to fill whole buffer");
        default:
            return io_error("corrupt deflate stream");
    }
}

std::string inflater_name() {
    return "libdeflate " LIBDEFLATE_VERSION_STRING;
}

}  // namespace pelmora::engine
