// Command-line front end to the text decoders, for tests/cpp/check_text.py and for poking at
// bytes by hand:
//   text_tool gb18030|gbk|utf8|valid < in > out   decodes all of stdin ("valid" prints 1 or 0)
//   text_tool serve                               answers requests until end of input; a request
//       is a mode letter (g, k, u, v), a 4-byte little-endian length and that many bytes, the
//       reply is a 4-byte little-endian length and the output.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>

#include "protocol/text/text.hpp"

namespace {

using namespace pelmora::text;

bool run(char mode, const std::string& in, std::string& out) {
    const auto* p = reinterpret_cast<const uint8_t*>(in.data());
    switch (mode) {
        case 'g':
            append_gb18030(p, in.size(), out);
            return true;
        case 'k':
            append_gbk_text(p, in.size(), out);
            return true;
        case 'u':
            append_utf8_lossy(p, in.size(), out);
            return true;
        case 'v':
            out += is_valid_utf8(p, in.size()) ? '1' : '0';
            return true;
        default:
            return false;
    }
}

bool read_exact(void* dst, size_t n) {
    return std::fread(dst, 1, n, stdin) == n;
}

int serve() {
    char mode;
    std::string in, out;
    while (read_exact(&mode, 1)) {
        unsigned char len[4];
        if (!read_exact(len, 4)) return 2;
        in.resize(len[0] | len[1] << 8 | len[2] << 16 | static_cast<size_t>(len[3]) << 24);
        if (!in.empty() && !read_exact(in.data(), in.size())) return 2;
        out.clear();
        if (!run(mode, in, out)) return 2;
        unsigned char reply[4];
        for (int k = 0; k < 4; ++k) reply[k] = static_cast<unsigned char>(out.size() >> (8 * k));
        std::fwrite(reply, 1, 4, stdout);
        std::fwrite(out.data(), 1, out.size(), stdout);
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const struct {
        const char* name;
        char letter;
    } modes[] = {{"gb18030", 'g'}, {"gbk", 'k'}, {"utf8", 'u'}, {"valid", 'v'}};
    if (argc == 2 && std::strcmp(argv[1], "serve") == 0) return serve();
    for (const auto& mode : modes) {
        if (argc == 2 && std::strcmp(argv[1], mode.name) == 0) {
            const std::string in{std::istreambuf_iterator<char>(std::cin), {}};
            std::string out;
            run(mode.letter, in, out);
            std::fwrite(out.data(), 1, out.size(), stdout);
            return 0;
        }
    }
    std::fprintf(stderr, "usage: %s gb18030|gbk|utf8|valid|serve\n", argv[0]);
    return 2;
}
