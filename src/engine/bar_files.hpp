// Local bar files (.day, .lc1, .lc5) read straight into columns, many files at once: the rows
// of every file one after the other, in the files' order, as the rows of a batch's requests.
// Prices in the currency, amount as stored, volume the file's own count (shares, or lots for
// indices): the caller, which knows the security, makes it units.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "engine/batch.hpp"

namespace pelmora::engine {

enum class BarFileLayout { Daily, Minute };

struct BarFile {
    std::string path;
    // Daily files: what the stored integer prices are divided by (100 for prices in fen, 1000
    // for those in thousandths of a yuan). Minute files store single-precision yuan, rounded to
    // steps of 1 / price_divisor: the decimal prices they stand for (10.01, not
    // 10.010000228881836).
    double price_divisor = 100.0;
};

struct TimeBounds {
    int64_t lo = std::numeric_limits<int64_t>::min();
    int64_t hi = std::numeric_limits<int64_t>::max();
};

// The unit of the times stored: seconds, or milliseconds for consumers that keep no seconds
// (polars), which then take the column as it is. Bounds are in seconds either way.
enum class TimeUnit { Seconds, Milliseconds };

// A batch with a slot per file, to be filled by run_bar_files.
std::shared_ptr<Batch> bar_files_batch(size_t files);

// Reads `files` into `batch` (made by bar_files_batch for as many files) on `threads` threads
// (the calling one when 1): only rows with lo <= time <= hi are stored, so memory follows the
// rows kept, not the files' sizes. A file that fails gets its error in batch.errors and no rows.
// Each file is reported through batch.complete as it is done; once batch.cancelled(), files
// not yet started are skipped. On return the batch is compacted (offsets set).
Status run_bar_files(const std::vector<BarFile>& files, BarFileLayout layout, TimeBounds bounds,
                     unsigned threads, Batch& batch, TimeUnit unit = TimeUnit::Seconds);

}  // namespace pelmora::engine
