#include "network/probe.hpp"

#include <pthread.h>

#include <algorithm>

#include "common/unique_fd.hpp"
#include "network/address.hpp"
#include "network/socket_io.hpp"

namespace pelmora::net {

namespace {

using Clock = std::chrono::steady_clock;

// What one probe thread reads and writes; the caller reads `latency` only after the join.
struct ProbeJob {
    const ProbeTarget* target;
    uint64_t latency;
};

void* run_probe(void* arg) {
    auto* job = static_cast<ProbeJob*>(arg);
    job->latency = probe_latency(job->target->first, job->target->second);
    return nullptr;
}

// Thread attributes of every probe thread: a 2 MiB stack, joinable.
class ProbeThreadAttr {
public:
    ProbeThreadAttr() : rc_(pthread_attr_init(&attr_)) {
        if (rc_ == 0) rc_ = pthread_attr_setstacksize(&attr_, kProbeStackSize);
    }
    ProbeThreadAttr(const ProbeThreadAttr&) = delete;
    ProbeThreadAttr& operator=(const ProbeThreadAttr&) = delete;
    ~ProbeThreadAttr() { pthread_attr_destroy(&attr_); }
    int error() const { return rc_; }
    const pthread_attr_t* get() const { return &attr_; }

private:
    pthread_attr_t attr_;
    int rc_;
};

// The threads of one wave; every thread started is joined when the wave ends, on every path.
class Wave {
public:
    explicit Wave(size_t capacity) { threads_.reserve(capacity); }
    Wave(const Wave&) = delete;
    Wave& operator=(const Wave&) = delete;
    ~Wave() { join(); }

    // 0 or the error number of pthread_create.
    int start(const ProbeThreadAttr& attr, ProbeJob& job) {
        pthread_t thread;
        int rc = pthread_create(&thread, attr.get(), run_probe, &job);
        if (rc == 0) threads_.push_back(thread);  // cannot reallocate: reserved for the wave
        return rc;
    }
    void join() {
        for (pthread_t thread : threads_) pthread_join(thread, nullptr);
        threads_.clear();
    }

private:
    std::vector<pthread_t> threads_;
};

Error spawn_error(int errnum) {
    return Error{ErrorKind::Panic, "failed to spawn thread: " + system_error_text(errnum), errnum};
}

}  // namespace

uint64_t probe_latency(std::string_view ip, uint16_t port) noexcept {
    try {
        std::string text = address_text(ip, port);
        // The measured time covers parsing, creating the socket and the handshake.
        const Clock::time_point start = Clock::now();
        auto addr = parse_socket_address(text);
        if (!addr) return kProbeFailed;  // host names are never resolved
        // Closed unused when this function returns: nothing is sent or received.
        UniqueFd sock;
        // No Python runs on this thread: an interrupted wait simply resumes.
        if (!connect_with_timeout(*addr, kProbeTimeout, nullptr, sock)) return kProbeFailed;
        const Clock::duration elapsed = Clock::now() - start;
        if (elapsed <= Clock::duration::zero()) return 0;  // a clock step back counts as zero
        return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) /
               1'000'000;
    } catch (...) {
        // Out of memory for the address text: the probe failed like any other.
        return kProbeFailed;
    }
}

Status probe_servers(const std::vector<ProbeTarget>& targets, std::vector<ProbeResult>& out) {
    out.clear();
    if (targets.empty()) return {};
    std::vector<ProbeJob> jobs(targets.size());
    for (size_t i = 0; i < targets.size(); ++i) jobs[i] = ProbeJob{&targets[i], kProbeFailed};
    out.reserve(targets.size());

    ProbeThreadAttr attr;
    if (attr.error() != 0) return spawn_error(attr.error());
    Wave wave(std::min(kProbeWave, targets.size()));
    for (size_t first = 0; first < jobs.size(); first += kProbeWave) {
        const size_t last = std::min(first + kProbeWave, jobs.size());
        for (size_t i = first; i < last; ++i)
            if (int rc = wave.start(attr, jobs[i]); rc != 0) return spawn_error(rc);  // ~Wave joins
        wave.join();
    }

    for (size_t i = 0; i < jobs.size(); ++i) out.push_back(ProbeResult{i, jobs[i].latency});
    std::stable_sort(out.begin(), out.end(), [](const ProbeResult& a, const ProbeResult& b) {
        return a.latency_ms < b.latency_ms;
    });
    return {};
}

}  // namespace pelmora::net
