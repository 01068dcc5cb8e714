#include "reader/record_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>

namespace pelmora::reader {

namespace {

Error mmap_error(int errnum) {
    return os_error(ErrorKind::Os, "Cannot mmap file: ", errnum);
}

}  // namespace

Status open_record_file(std::string_view path, UniqueFd& fd, size_t& size) {
    const std::string c_path(path);
    // A path with a NUL in it names no file; the system would see only the part before it.
    struct stat st;
    if (c_path.find('\0') != std::string::npos || ::stat(c_path.c_str(), &st) != 0)
        return Error{ErrorKind::FileNotFound, "File not found: " + c_path, 0};

    // Non-blocking, so that a FIFO opens at once instead of waiting for a writer while the
    // caller holds the interpreter lock; regular files ignore the flag.
    fd.reset(::open(c_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return os_error(ErrorKind::Os, "Cannot open file: ", errno);

    if (::fstat(fd.get(), &st) != 0) return mmap_error(errno);
    // Only a regular file has a size that means its contents; the rest is refused the way
    // mmap refuses a directory.
    if (!S_ISREG(st.st_mode)) return mmap_error(ENODEV);
    size = size_t(st.st_size);
    return {};
}

// The file is read, not mapped: a mapping faults (SIGBUS) when another process truncates the
// file under it, and read() simply stops at the new end.
Status read_up_to(int fd, uint8_t* buf, size_t n, size_t& got) {
    got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, buf + got, n - got);
        if (r > 0) {
            got += size_t(r);
        } else if (r == 0) {
            break;
        } else if (errno != EINTR) {
            return mmap_error(errno);
        }
    }
    return {};
}

Status load_records(std::string_view path, RecordFile& out) {
    out = RecordFile();
    UniqueFd fd;
    size_t size = 0;
    if (Status st = open_record_file(path, fd, size); !st) return st;
    const size_t wanted = size / kRecordSize * kRecordSize;
    if (wanted == 0) return {};
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[wanted]);
    if (!bytes) return mmap_error(ENOMEM);
    size_t got = 0;
    if (Status st = read_up_to(fd.get(), bytes.get(), wanted, got); !st) return st;
    out.bytes_ = std::move(bytes);
    out.count_ = got / kRecordSize;
    return {};
}

}  // namespace pelmora::reader
