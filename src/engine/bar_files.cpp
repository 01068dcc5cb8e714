#include "engine/bar_files.hpp"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>

#include "common/bytes.hpp"
#include "engine/civil_time.hpp"
#include "protocol/minute_date.hpp"
#include "reader/bars.hpp"
#include "reader/record_file.hpp"

namespace pelmora::engine {

namespace {

constexpr size_t kChunkRecords = 2048;  // 64 KiB a read: large enough, small enough for L2

// Where decoded rows go: row r of the time column and of each value column.
struct RowPointers {
    int64_t* times;
    double* values[kPriceColumns];
};

// Rows a worker keeps, appended file after file; grown by realloc, never zero-filled.
class RowStore {
public:
    bool reserve(size_t rows) {
        if (rows <= capacity_) return true;
        size_t cap = capacity_ ? capacity_ * 2 : 4096;
        while (cap < rows) cap *= 2;
        if (!grow(times_, cap)) return false;
        for (auto& col : values_)
            if (!grow(col, cap)) return false;
        capacity_ = cap;
        return true;
    }
    int64_t* times() const { return times_.get(); }
    RowPointers pointers() const {
        return {times_.get(),
                {values_[0].get(), values_[1].get(), values_[2].get(), values_[3].get(),
                 values_[4].get(), values_[5].get()}};
    }
    double* column(int c) const { return values_[c].get(); }
    void release(int c) { values_[c].reset(); }
    void release_times() { times_.reset(); }
    size_t size = 0;

private:
    template <class T>
    static bool grow(std::unique_ptr<T, FreeDeleter>& p, size_t n) {
        void* q = std::realloc(p.get(), n * sizeof(T));
        if (!q) return false;
        (void)p.release();
        p.reset(static_cast<T*>(q));
        return true;
    }
    std::unique_ptr<int64_t, FreeDeleter> times_;
    std::unique_ptr<double, FreeDeleter> values_[kPriceColumns];
    size_t capacity_ = 0;
};

// Daily dates as seconds at midnight; the day number is worked out once per month, since a
// file's dates follow each other.
class DailyClock {
public:
    int64_t seconds(uint32_t date) {
        const uint32_t ym = date / 100, d = date % 100;
        if (ym != ym_) {
            const uint32_t y = ym / 100, m = ym % 100;
            if (!valid_date(y, m, 1)) return kNotATime;
            ym_ = ym;
            month_days_ = days_from_civil(y, m, 1);
        }
        if (!valid_date(ym / 100, ym % 100, d)) return kNotATime;
        return (month_days_ + d - 1) * 86400;
    }

private:
    uint32_t ym_ = UINT32_MAX;
    int64_t month_days_ = 0;
};

// The file's own count, unscaled: shares for most files, lots for indices' (whose share counts
// do not fit 32 bits). Which one a file holds is known from its name; the caller scales.
inline double stored_volume(uint32_t count) {
    return double(count);
}

// A minute file's single-precision price rounded to the security's price step (1 / divisor):
// 18,948.22 is stored as 18,948.220703125, which rounds to the cent but not to the thousandth.
// Divided, not multiplied by a reciprocal, for the nearest double to the decimal price.
inline double to_step(double v, double divisor) {
    return std::nearbyint(v * divisor) / divisor;
}

// A minute record's date word and its time word in minutes since midnight, the bar's end.
inline int64_t minute_seconds(uint16_t date, uint16_t time) {
    const proto::MinuteDate d = proto::decode_minute_date(date);
    if (!valid_date(d.year, d.month, d.day) || time >= 24 * 60) return kNotATime;
    return days_from_civil(d.year, d.month, d.day) * 86400 + int64_t(time) * 60;
}

// A file's kind is told by its first records, this many at most, most of which must agree (a
// bad record among them is read as NaT, as anywhere else): a daily record's date is a YYYYMMDD
// number, a minute record's a packed day and minute. Read as a daily date, a minute record
// gives a year past 3700 (its minute word, 570 to 900 in trading hours, is the high half), so
// records that pass as daily dates are daily; a daily date read as minute words passes now and
// then (a clock time of about 05:00 and, for one day in five, a calendar day), so records are
// minute records only when they do not pass as daily dates.
constexpr size_t kKindSample = 8;

enum class RecordKind { Unknown, Daily, Minute };

bool daily_record(const uint8_t* raw) {
    const uint32_t date = reader::decode_daily(raw).date;
    return valid_date(date / 10000, date / 100 % 100, date % 100);
}

bool minute_record(const uint8_t* raw) {
    const reader::MinuteRecord r = reader::decode_minute(raw);
    return minute_seconds(r.date, r.time) != kNotATime;
}

RecordKind records_kind(const uint8_t* raw, size_t n) {
    const size_t k = std::min(n, kKindSample);
    size_t daily = 0, minute = 0;
    for (size_t i = 0; i < k; ++i, raw += reader::kRecordSize) {
        daily += daily_record(raw);
        minute += minute_record(raw);
    }
    if (2 * daily > k) return RecordKind::Daily;
    return 2 * minute > k ? RecordKind::Minute : RecordKind::Unknown;
}

// The kind TDX's name for a file gives it (.day, .lc1, .lc5), or Unknown.
RecordKind named_kind(const std::string& path) {
    auto ends_with = [&](std::string_view ext) {
        if (path.size() < ext.size()) return false;
        for (size_t i = 0; i < ext.size(); ++i)
            if (std::tolower(uint8_t(path[path.size() - ext.size() + i])) != ext[i]) return false;
        return true;
    };
    if (ends_with(".day")) return RecordKind::Daily;
    if (ends_with(".lc1") || ends_with(".lc5")) return RecordKind::Minute;
    return RecordKind::Unknown;
}

const char* kind_name(RecordKind k) {
    return k == RecordKind::Daily ? "daily bars" : "minute bars";
}

// Refuses a file whose first records are of another kind than the one read, or than its name
// says, or of neither: read as another kind they come out as garbage prices or as times that
// are no times.
Status check_kind(const BarFile& f, BarFileLayout layout, const uint8_t* raw, size_t n) {
    const RecordKind found = records_kind(raw, n);
    // Most of the first records no bar at all: not a bar file (a text file, say), whose
    // "prices" would be garbage.
    if (found == RecordKind::Unknown)
        return Error{ErrorKind::Value,
                     f.path + ": its records are neither daily nor minute bars (no dates)", 0};
    const RecordKind read = layout == BarFileLayout::Daily ? RecordKind::Daily : RecordKind::Minute;
    const RecordKind named = named_kind(f.path);
    const RecordKind want = found != read ? read : named;
    if (want == RecordKind::Unknown || want == found) return {};
    return Error{ErrorKind::Value,
                 f.path + ": its records are " + kind_name(found) + ", not " + kind_name(want), 0};
}

// The file's name leads every message, unless the message already holds it.
Error with_path(const std::string& path, Error e) {
    if (e.kind != ErrorKind::FileNotFound) e.message = path + ": " + e.message;
    return e;
}

// What a read keeps and how it stores times: rows within the bounds (in seconds), their times
// in seconds times `scale`.
struct Keep {
    TimeBounds bounds;
    int64_t scale = 1;
};

// Decodes `n` records at `raw` into the columns at `p` from row `row`, keeping those within
// bounds; returns the next free row.
size_t decode_daily(const uint8_t* raw, size_t n, double divisor, Keep k, DailyClock& clock,
                    const RowPointers& p, size_t row) {
    int64_t* t = p.times;
    double *o = p.values[0], *h = p.values[1], *l = p.values[2], *c = p.values[3], *v = p.values[4],
           *a = p.values[5];
    for (size_t i = 0; i < n; ++i, raw += reader::kRecordSize) {
        const reader::DailyRecord r = reader::decode_daily(raw);
        const int64_t when = clock.seconds(r.date);
        if (when < k.bounds.lo || when > k.bounds.hi) continue;
        t[row] = when == kNotATime ? when : when * k.scale;
        // Divided, not multiplied by a reciprocal: 35 fen is 0.35, the nearest double.
        o[row] = double(r.open) / divisor;
        h[row] = double(r.high) / divisor;
        l[row] = double(r.low) / divisor;
        c[row] = double(r.close) / divisor;
        a[row] = r.amount;
        v[row] = stored_volume(r.volume);
        ++row;
    }
    return row;
}

size_t decode_minute(const uint8_t* raw, size_t n, double divisor, Keep k, const RowPointers& p,
                     size_t row) {
    int64_t* t = p.times;
    double *o = p.values[0], *h = p.values[1], *l = p.values[2], *c = p.values[3], *v = p.values[4],
           *a = p.values[5];
    for (size_t i = 0; i < n; ++i, raw += reader::kRecordSize) {
        const reader::MinuteRecord r = reader::decode_minute(raw);
        const int64_t when = minute_seconds(r.date, r.time);
        if (when < k.bounds.lo || when > k.bounds.hi) continue;
        t[row] = when == kNotATime ? when : when * k.scale;
        o[row] = to_step(r.open, divisor);
        h[row] = to_step(r.high, divisor);
        l[row] = to_step(r.low, divisor);
        c[row] = to_step(r.close, divisor);
        a[row] = r.amount;
        v[row] = stored_volume(r.volume);
        ++row;
    }
    return row;
}

// Decodes the kept rows of one file into `dest` from row `first`; `kept` is how many. Reads no
// further than the size the file had when opened (nor than dest.limit rows), and stops early
// where it ends sooner (truncated while being read).
template <class Dest>
Status read_file(const BarFile& f, BarFileLayout layout, Keep keep, uint8_t* chunk, Dest& dest,
                 size_t first, size_t& kept) {
    kept = 0;
    UniqueFd fd;
    size_t size = 0;
    if (Status st = reader::open_record_file(f.path, fd, size); !st)
        return with_path(f.path, st.take_error());
    size_t left = std::min(size / reader::kRecordSize, dest.limit);
    DailyClock clock;
    size_t row = first;
    bool first_chunk = true;
    while (left > 0) {
        const size_t want = std::min(left, kChunkRecords);
        size_t got = 0;
        if (Status st = reader::read_up_to(fd.get(), chunk, want * reader::kRecordSize, got); !st)
            return with_path(f.path, st.take_error());
        const size_t n = got / reader::kRecordSize;
        if (first_chunk)
            if (Status st = check_kind(f, layout, chunk, n); !st) return st;
        first_chunk = false;
        if (!dest.reserve(row + n)) return Error{ErrorKind::Panic, f.path + ": out of memory", 0};
        const RowPointers p = dest.pointers();
        row = layout == BarFileLayout::Daily
                  ? decode_daily(chunk, n, f.price_divisor, keep, clock, p, row)
                  : decode_minute(chunk, n, f.price_divisor, keep, p, row);
        if (n < want) break;
        left -= n;
    }
    kept = row - first;
    return {};
}

// The slot of one file in the batch's columns, sized by the file before reading.
struct Slot {
    RowPointers p;
    size_t limit;
    bool reserve(size_t) const { return true; }
    RowPointers pointers() const { return p; }
};

// A worker's store, grown a chunk at a time, so rows filtered out never cost memory.
struct Growing {
    RowStore& store;
    size_t limit = SIZE_MAX;
    bool reserve(size_t rows) { return store.reserve(rows); }
    RowPointers pointers() const { return store.pointers(); }
};

struct FilePlace {
    unsigned worker = 0;
    size_t first = 0, rows = 0;
};

// Columns of a whole folder run to hundreds of MB, and a first touch of each 4 KiB page costs a
// fault that takes longer than decoding the 73 records it holds; 2 MiB pages fault 512 times
// less often. Only advice: the system may refuse it.
void advise_huge_pages(void* p, size_t bytes) {
    constexpr uintptr_t kHuge = uintptr_t(2) << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHuge - 1);
    if (end > begin) (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void advise_huge_pages(const BarColumns& c) {
    advise_huge_pages(c.datetime(), c.stride() * sizeof(int64_t));
    advise_huge_pages(c.values(), c.stride() * sizeof(double) * size_t(c.value_columns()));
}

// Runs work(w) for w in [0, threads): on the calling thread alone when there is one.
template <class Work>
void run_workers(unsigned threads, Work& work) {
    if (threads == 1) return work(0u);
    std::vector<std::jthread> pool;
    for (unsigned w = 0; w < threads; ++w) pool.emplace_back(work, w);
}

// Every record is kept: each file is decoded straight into a slot of the batch's columns sized
// by the file beforehand, and the slots closed up after (a file may have shrunk meanwhile).
Status read_into_slots(const std::vector<BarFile>& files, BarFileLayout layout, int64_t scale,
                       unsigned threads, Batch& batch) {
    const size_t n = files.size();
    batch.slot_first.resize(n);
    batch.rows.assign(n, 0);
    std::vector<size_t> capacity(n, 0);
    size_t total = 0;
    for (size_t i = 0; i < n; ++i) {
        struct stat st;
        // What cannot be sized here fails with its own message when opened.
        if (::stat(files[i].path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            capacity[i] = size_t(st.st_size) / reader::kRecordSize;
        batch.slot_first[i] = total;
        total += capacity[i];
    }
    if (!batch.columns.allocate(total, false)) return Error{ErrorKind::Panic, "out of memory", 0};
    advise_huge_pages(batch.columns);
    const BarColumns& c = batch.columns;
    const RowPointers columns{
        c.datetime(),
        {c.column(Column::Open), c.column(Column::High), c.column(Column::Low),
         c.column(Column::Close), c.column(Column::Volume), c.column(Column::Amount)}};
    std::atomic<size_t> next{0};
    auto work = [&](unsigned) {
        alignas(64) uint8_t chunk[kChunkRecords * reader::kRecordSize];
        for (size_t i; (i = next.fetch_add(1)) < n;) {
            std::optional<Error> error;
            size_t kept = 0;
            Slot slot{columns, capacity[i]};
            if (!batch.cancelled()) {
                Status st = read_file(files[i], layout, Keep{TimeBounds{}, scale}, chunk, slot,
                                      batch.slot_first[i], kept);
                if (!st) error = st.take_error();
            }
            batch.rows[i] = uint32_t(kept);
            batch.complete(i, std::move(error));
        }
    };
    run_workers(threads, work);
    batch.compact();
    return {};
}

// Only rows within bounds are kept: each worker appends them to a store of its own, grown as
// rows come, and the stores are put together in file order at the end.
Status read_kept_rows(const std::vector<BarFile>& files, BarFileLayout layout, Keep keep,
                      unsigned threads, Batch& batch) {
    const size_t n = files.size();
    std::vector<RowStore> stores(threads);
    std::vector<FilePlace> places(n);
    std::atomic<size_t> next{0};
    auto work = [&](unsigned w) {
        alignas(64) uint8_t chunk[kChunkRecords * reader::kRecordSize];
        Growing dest{stores[w]};
        for (size_t i; (i = next.fetch_add(1)) < n;) {
            std::optional<Error> error;
            const size_t first = stores[w].size;
            size_t kept = 0;
            if (!batch.cancelled()) {
                Status st = read_file(files[i], layout, keep, chunk, dest, first, kept);
                if (!st) {
                    error = st.take_error();
                    kept = 0;
                }
            }
            stores[w].size = first + kept;
            places[i] = {w, first, kept};
            batch.complete(i, std::move(error));
        }
    };
    run_workers(threads, work);

    // One set of columns in file order, filled a column at a time; each worker's column is
    // freed once copied, so the peak stays near the result's own size.
    batch.offsets.assign(n + 1, 0);
    for (size_t i = 0; i < n; ++i) batch.offsets[i + 1] = batch.offsets[i] + places[i].rows;
    const size_t total = batch.offsets[n];
    if (!batch.columns.allocate(total, false)) return Error{ErrorKind::Panic, "out of memory", 0};
    advise_huge_pages(batch.columns);
    for (size_t i = 0; i < n; ++i)
        if (places[i].rows)
            std::memcpy(batch.columns.datetime() + batch.offsets[i],
                        stores[places[i].worker].times() + places[i].first,
                        places[i].rows * sizeof(int64_t));
    for (auto& s : stores) s.release_times();
    for (int c = 0; c < kPriceColumns; ++c) {
        double* dst = batch.columns.column(Column(c));
        for (size_t i = 0; i < n; ++i)
            if (places[i].rows)
                std::memcpy(dst + batch.offsets[i],
                            stores[places[i].worker].column(c) + places[i].first,
                            places[i].rows * sizeof(double));
        for (auto& s : stores) s.release(c);
    }
    return {};
}

}  // namespace

std::shared_ptr<Batch> bar_files_batch(size_t files) {
    auto batch = std::make_shared<Batch>(std::vector<Query>(files));
    batch->errors.assign(files, std::nullopt);
    return batch;
}

Status run_bar_files(const std::vector<BarFile>& files, BarFileLayout layout, TimeBounds bounds,
                     unsigned threads, Batch& batch, TimeUnit unit) {
    const size_t n = files.size();
    threads = std::max(1u, std::min<unsigned>(threads, unsigned(std::max<size_t>(n, 1))));
    const int64_t scale = unit == TimeUnit::Milliseconds ? 1000 : 1;
    const bool bounded = bounds.lo != TimeBounds{}.lo || bounds.hi != TimeBounds{}.hi;
    return bounded ? read_kept_rows(files, layout, Keep{bounds, scale}, threads, batch)
                   : read_into_slots(files, layout, scale, threads, batch);
}

}  // namespace pelmora::engine
