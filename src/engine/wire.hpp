// One connection of the pool. Connecting waits on a non-blocking socket, ended also by the
// pool's stop descriptor; exchanges then use the socket blocking, with the time-out as the
// socket's own (send, one read: two system calls where polling first takes three), and are
// ended by interrupt(). Either way closing the pool never waits for a server.
//
// An answer must belong to its request. No request goes out while unread bytes wait on the
// connection, and a server that echoes each request's command in its answers (header offset 10,
// as it did for the three set-up requests) is held to it: an answer naming another command fails
// as soon as its header is in, without waiting for the body it announces.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
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

// The failure of an exchange whose answer is not its request's: the stream is out of step.
Error out_of_step(const std::string& what);

class WireConnection {
public:
    // The owning thread's view; only that thread opens and closes the socket.
    bool open() const { return sock_.valid(); }
    void close();

    // TCP connect within `timeout`, then the three set-up exchanges within `io_timeout` each,
    // which tell whether the server echoes commands. Fails as stopped once interrupt() was
    // called.
    Status connect(const net::SocketAddress& addr, Clock::duration timeout,
                   Clock::duration io_timeout, int stop_fd);

    // Sends `request` and reads one whole response within `timeout` into the first `size`
    // bytes of `frame`: the 16-byte header, then the wire body, still compressed when the
    // header says so. Fails without sending when bytes arrived unasked, and when the server sends
    // more than the header announces or (an echoing server) names another command. Fails as
    // stopped when `stop_fd` is readable once it failed.
    Status exchange(const Bytes& request, Clock::duration timeout, int stop_fd, Bytes& frame,
                    size_t& size);

    // From another thread: ends a blocked exchange at once, and every later one.
    void interrupt();

    // Whether the server echoed the command of each set-up request.
    bool echoes() const { return echoes_; }

private:
    Status set_receive_wait(Clock::duration wait);
    Status unread_bytes();
    Status read_blocking(Clock::duration timeout, Clock::time_point deadline, uint16_t command,
                         Bytes& frame, size_t& size);

    UniqueFd sock_;
    Clock::duration receive_wait_{};  // the socket's receive time-out
    bool echoes_ = false;
    std::mutex m_;  // sock_ against interrupt()
    bool interrupted_ = false;
};

}  // namespace pelmora::engine
