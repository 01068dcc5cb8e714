// Blocking socket primitives shared by the client connection, the set-up exchange and the probe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "common/error.hpp"
#include "common/unique_fd.hpp"
#include "network/address.hpp"

namespace pelmora::net {

// Called when a wait is interrupted by a signal. Returns true when the signal must end the call
// (the caller then reports ErrorKind::PythonRaised); false to resume the wait with the time left.
// A null check means "always resume" (the probe threads, which run no Python code).
using SignalCheck = bool (*)();

inline constexpr std::chrono::seconds kIoTimeout{10};

// TCP connect that gives up after `timeout`; the socket comes back blocking and close-on-exec.
Status connect_with_timeout(const SocketAddress& addr, std::chrono::nanoseconds timeout,
                            SignalCheck check, UniqueFd& out);

// SO_RCVTIMEO (read) or SO_SNDTIMEO (write).
Status set_io_timeout(int fd, bool read, std::chrono::seconds timeout);

// Sends every byte; no SIGPIPE on a closed peer (EPIPE instead).
Status write_all(int fd, const uint8_t* data, size_t size, SignalCheck check);

// Receives exactly `size` bytes; a peer that closes first gives "failed to fill whole buffer".
Status read_exact(int fd, uint8_t* data, size_t size, SignalCheck check);

}  // namespace pelmora::net
