// Latency probe: times a bare TCP connect to each of a list of servers, many at once, each on a
// thread of its own. No Python here; the module layer converts the arguments and the results.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.hpp"

namespace pelmora::net {

// The latency reported for a server that could not be reached for any reason.
inline constexpr uint64_t kProbeFailed = 9999;
inline constexpr std::chrono::seconds kProbeTimeout{2};
// Probes in flight at once; a longer list is probed in successive waves of this size.
inline constexpr size_t kProbeWave = 256;
inline constexpr size_t kProbeStackSize = size_t(2) << 20;

using ProbeTarget = std::pair<std::string, uint16_t>;  // ip text, port

struct ProbeResult {
    size_t index;  // position of the server in the input list
    uint64_t latency_ms;
};

// Whole milliseconds from a literal "ip:port" address to an established TCP connection, or
// kProbeFailed. Runs on the calling thread; never throws.
uint64_t probe_latency(std::string_view ip, uint16_t port) noexcept;

// Probes every target and returns one result per target, fastest first; equal latencies keep
// input order, so failures come last in input order. Fails only when a thread cannot be
// created (ErrorKind::Panic), after every thread already started has been joined.
Status probe_servers(const std::vector<ProbeTarget>& targets, std::vector<ProbeResult>& out);

}  // namespace pelmora::net
