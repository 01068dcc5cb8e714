#include "reader/record_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>

#include "common/unique_fd.hpp"

namespace pelmora::reader {

namespace {

Error mmap_error(int errnum) {
    return os_error(ErrorKind::Os, "Cannot mmap file: ", errnum);
}

}  // namespace

Status load_records(std::string_view path, RecordFile& out) {
    out = RecordFile();
    const std::string c_path(path);
    // A path with a NUL in it names no file; the system would see only the part before it.
    struct stat st;
    if (c_path.find('\0') != std::string::npos || ::stat(c_path.c_str(), &st) != 0)
        return Error{ErrorKind::FileNotFound, "File not found: " + c_path, 0};

    // Non-blocking, so that a FIFO opens at once instead of waiting for a writer while the
    // caller holds the interpreter lock; regular files ignore the flag.
    UniqueFd fd(::open(c_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return os_error(ErrorKind::Os, "Cannot open file: ", errno);

    if (::fstat(fd.get(), &st) != 0) return mmap_error(errno);
    // Only a regular file has a size that means its contents; the rest is refused the way
    // mmap refuses a directory.
    if (!S_ISREG(st.st_mode)) return mmap_error(ENODEV);

    // The file is read, not mapped: a mapping faults (SIGBUS) when another process truncates
    // the file under it, and read() simply stops at the new end.
    const size_t wanted = size_t(st.st_size) / kRecordSize * kRecordSize;
    if (wanted == 0) return {};
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[wanted]);
    if (!bytes) return mmap_error(ENOMEM);
    size_t got = 0;
    while (got < wanted) {
        ssize_t n = ::read(fd.get(), bytes.get() + got, wanted - got);
        if (n > 0) {
            got += size_t(n);
        } else if (n == 0) {
            break;  // the file shrank since fstat
        } else if (errno != EINTR) {
            return mmap_error(errno);
        }
    }
    out.bytes_ = std::move(bytes);
    out.count_ = got / kRecordSize;
    return {};
}

}  // namespace pelmora::reader
