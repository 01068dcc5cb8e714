#include "network/inflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace pelmora::net {

namespace {

// Owner of one zlib inflate stream.
class InflateStream {
public:
    InflateStream() {
        std::memset(&stream_, 0, sizeof stream_);
        int rc = inflateInit(&stream_);  // zlib header expected: not raw deflate, not gzip
        if (rc == Z_MEM_ERROR) throw std::bad_alloc();
        ready_ = rc == Z_OK;
    }
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;
    ~InflateStream() {
        if (ready_) inflateEnd(&stream_);
    }
    bool ready() const { return ready_; }
    z_stream* get() { return &stream_; }

private:
    z_stream stream_;
    bool ready_ = false;
};

constexpr size_t kInputChunk = 32768;

}  // namespace

Status inflate_exact(const uint8_t* wire, size_t wire_size, size_t out_size, Bytes& out) {
    out.resize(out_size);
    if (out_size == 0) return {};
    InflateStream zs;
    if (!zs.ready()) return io_error("corrupt deflate stream");
    z_stream* s = zs.get();
    s->next_out = out.data();
    s->avail_out = uInt(out_size);
    size_t consumed = 0;
    for (;;) {
        if (s->avail_in == 0 && consumed < wire_size) {
            // The wire bytes are fed in chunks of at most 32 KiB.
            size_t take = std::min(kInputChunk, wire_size - consumed);
            s->next_in = const_cast<Bytef*>(wire + consumed);
            s->avail_in = uInt(take);
            consumed += take;
        }
        bool last_input = consumed == wire_size && s->avail_in == 0;
        uInt before = s->avail_out;
        int rc = inflate(s, last_input ? Z_FINISH : Z_NO_FLUSH);
        if (s->avail_out == 0) return {};
        switch (rc) {
            case Z_OK:
                break;
            case Z_BUF_ERROR:
                // No progress possible: the input is used up before the output was filled.
                if (last_input ||
                    (s->avail_in == 0 && consumed == wire_size && before == s->avail_out))
                    return io_error("failed to fill whole buffer");
                break;
            case Z_STREAM_END:
                return io_error("failed to fill whole buffer");
            case Z_MEM_ERROR:
                throw std::bad_alloc();
            default:  // Z_DATA_ERROR, Z_NEED_DICT, Z_STREAM_ERROR
                return io_error("corrupt deflate stream");
        }
    }
}

}  // namespace pelmora::net
