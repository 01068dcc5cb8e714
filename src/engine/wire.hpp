// One connection of the pool: a non-blocking socket whose every wait has a deadline and also
// ends when the pool's stop descriptor becomes readable, so closing the pool never waits for a
// server.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "common/unique_fd.hpp"
#include "network/address.hpp"

namespace pelmora::engine {

using Clock = std::chrono::steady_clock;

inline constexpr size_t kHeaderSize = 16;

// The failure of a wait cut short by the pool closing.
Error stopped_error();
bool is_stopped(const Error& e);

class WireConnection {
public:
    bool open() const { return sock_.valid(); }
    void close() { sock_.reset(); }

    // TCP connect within `timeout`, then the three set-up exchanges within `io_timeout` each.
    Status connect(const net::SocketAddress& addr, Clock::duration timeout,
                   Clock::duration io_timeout, int stop_fd);

    // Sends `request` and reads one whole response within `timeout` into the first `size`
    // bytes of `frame`: the 16-byte header, then the wire body, still compressed when the
    // header says so. A server that sends more than the header announces is out of step: that
    // fails too.
    Status exchange(const Bytes& request, Clock::duration timeout, int stop_fd, Bytes& frame,
                    size_t& size);

private:
    UniqueFd sock_;
};

}  // namespace pelmora::engine
