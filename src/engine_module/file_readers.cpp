// read_bar_files: local .day / .lc1 / .lc5 files into one BarBatch, read without the
// interpreter lock.
#include <Python.h>

#include <atomic>
#include <limits>
#include <optional>
#include <thread>
#include <vector>

#include "engine/bar_files.hpp"
#include "engine_module/batch_object.hpp"
#include "python/command.hpp"
#include "python/errors.hpp"
#include "python/unlocked.hpp"
#include "python/waiting.hpp"

namespace pelmora::py {

namespace {

// run_bar_files with whatever escapes it as an error: it runs without the interpreter lock, where
// no C++ exception may reach the entry point's handler.
Status read_files(const std::vector<engine::BarFile>& files, engine::BarFileLayout layout,
                  engine::TimeBounds bounds, engine::TimeUnit unit, unsigned threads,
                  engine::Batch& batch) {
    return contained(
        [&] { return engine::run_bar_files(files, layout, bounds, threads, batch, unit); });
}

// Runs the read on a thread of its own while this one goes through the wait loop, so that Ctrl-C
// and `progress` run promptly; a raise cancels the files not started.
bool read_waiting(const std::vector<engine::BarFile>& files, engine::BarFileLayout layout,
                  engine::TimeBounds bounds, engine::TimeUnit unit, unsigned threads,
                  engine::Batch& batch, PyObject* progress, Status& result) {
    std::atomic<bool> finished{false};
    std::jthread runner([&] {
        result = read_files(files, layout, bounds, unit, threads, batch);
        finished.store(true);
    });
    // A runner that failed before every file was done ends the wait too.
    const bool ok =
        wait_in_slices(Wait{[&](std::chrono::milliseconds slice) {
                                return batch.wait_for(slice) || finished.load();
                            },
                            [&] { return batch.done(); }, batch.size(), [&] { batch.cancel(); }},
                       progress);
    // The runner puts the columns together after the last file is done.
    without_lock([&] { runner.join(); });
    return ok;
}

struct ReadBarFiles {
    static constexpr const char* doc =
        "read_bar_files(paths, divisors=None, start=None, end=None, threads=1, progress=None, "
        "milliseconds=False, minute=False)\n--\n\n"
        "Bars of local files as a BarBatch, a request per file: .day files, or with `minute` "
        ".lc1/.lc5 files. `divisors`, one per file: for .day files what its integer prices are "
        "divided by (100 when None), for minute files the price step its single-precision "
        "prices are rounded to, as 1 / step (1000 when None). Volumes are the files' own "
        "counts. `start`, `end`: inclusive bounds in seconds (datetime64[s]); rows outside are "
        "never stored. `progress(done, total)` is called as files finish. `milliseconds`: "
        "times in milliseconds rather than seconds (the bounds stay in seconds).";
    PyObject* operator()(const std::vector<FsPath>& paths,
                         const std::optional<std::vector<double>>& divisors,
                         std::optional<int64_t> start, std::optional<int64_t> end,
                         std::optional<unsigned> threads, Callback progress,
                         std::optional<bool> milliseconds, std::optional<bool> minute) const {
        if (divisors && divisors->size() != paths.size())
            return invalid_argument("paths and divisors differ in length");
        const auto layout =
            minute.value_or(false) ? engine::BarFileLayout::Minute : engine::BarFileLayout::Daily;
        std::vector<engine::BarFile> files(paths.size());
        for (size_t i = 0; i < paths.size(); ++i) {
            files[i].path = paths[i].bytes;
            files[i].price_divisor = layout == engine::BarFileLayout::Minute ? 1000.0 : 100.0;
            if (!divisors) continue;
            const double d = (*divisors)[i];
            // A divisor of 0, below or NaN would give no prices at all.
            if (!(d > 0.0 && d < std::numeric_limits<double>::infinity()))
                return invalid_argument("divisors must be positive and finite");
            files[i].price_divisor = d;
        }
        engine::TimeBounds bounds;
        if (start) bounds.lo = *start;
        if (end) bounds.hi = *end;
        const auto unit = milliseconds.value_or(false) ? engine::TimeUnit::Milliseconds
                                                       : engine::TimeUnit::Seconds;
        auto batch = engine::bar_files_batch(files.size());
        Status result;
        if (files.size() <= 1 && !progress.object)
            result =
                without_lock([&] { return read_files(files, layout, bounds, unit, 1, *batch); });
        else if (!read_waiting(files, layout, bounds, unit, threads.value_or(1), *batch,
                               progress.object, result))
            return nullptr;
        if (!check(result)) return nullptr;
        return new_bar_batch(std::move(batch));
    }
};

}  // namespace

PyMethodDef kFileReaderMethods[] = {
    method_def<ReadBarFiles>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace pelmora::py
