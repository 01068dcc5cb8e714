// The file-access sequence shared by the daily-bar and minute-bar readers: check the path, open
// it, read its whole 32-byte records into memory. Everything lives within one call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "common/error.hpp"
#include "common/unique_fd.hpp"

namespace pelmora::reader {

inline constexpr size_t kRecordSize = 32;

// The whole records of one file, in file order; a trailing partial record is not kept.
class RecordFile {
public:
    size_t count() const { return count_; }
    const uint8_t* record(size_t i) const { return bytes_.get() + i * kRecordSize; }

private:
    friend Status load_records(std::string_view path, RecordFile& out);

    // The checks and failures of load_records up to reading: `fd` open on the regular file at
    // `path`, `size` its size then. Readers that decode as they read start here.
    Status open_record_file(std::string_view path, UniqueFd& fd, size_t& size);

    // Reads up to `n` bytes into `buf`, fewer only at the end of the file (which may have shrunk
    // since it was sized); `got` is the count. Failures as load_records's.
    Status read_up_to(int fd, uint8_t* buf, size_t n, size_t& got);
    std::unique_ptr<uint8_t[]> bytes_;
    size_t count_ = 0;
};

// Fills `out` with the whole records of the file at `path` (used as given). Failures:
//   FileNotFound "File not found: <path>" when the path does not stat;
//   Os "Cannot open file: <system error>" when it does not open;
//   Os "Cannot mmap file: <system error>" when it is not a regular file (ENODEV, the error that
//   mapping a directory or a pipe gives) or cannot be sized, buffered or read.
Status load_records(std::string_view path, RecordFile& out);

// The checks and failures of load_records up to reading: `fd` open on the regular file at
// `path`, `size` its size then. Readers that decode as they read start here.
Status open_record_file(std::string_view path, UniqueFd& fd, size_t& size);

// Reads up to `n` bytes into `buf`, fewer only at the end of the file (which may have shrunk
// since it was sized); `got` is the count. Failures as load_records's.
Status read_up_to(int fd, uint8_t* buf, size_t n, size_t& got);

}  // namespace pelmora::reader
