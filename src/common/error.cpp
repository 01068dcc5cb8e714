#include "common/error.hpp"

#include <cstring>

namespace pelmora {

std::string system_error_text(int errnum) {
    char buf[256];
    // GNU strerror_r returns a pointer that may or may not be buf.
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace pelmora
