#include "engine/wire.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdio>

#include "network/connection.hpp"

namespace pelmora::engine {

namespace {

constexpr const char* kStoppedText = "the pool was closed";

int ms_until(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() <= 0 ? 0 : int(left.count()) + 1;
}

Error timed_out() {
    return Error{ErrorKind::Io, "timed out waiting for the server", ETIMEDOUT};
}

// Waits until `fd` is ready for `events`; fails on the deadline or when the pool stops.
Status wait_ready(int fd, short events, Clock::time_point deadline, int stop_fd) {
    for (;;) {
        int ms = ms_until(deadline);
        if (ms == 0) return timed_out();
        pollfd p[2] = {{fd, events, 0}, {stop_fd, POLLIN, 0}};
        int rc = ::poll(p, 2, ms);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return io_error(errno);
        }
        if (p[1].revents) return stopped_error();
        if (rc > 0) return {};
    }
}

Status send_all(int fd, const uint8_t* data, size_t size, Clock::time_point deadline, int stop_fd) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (Status s = wait_ready(fd, POLLOUT, deadline, stop_fd); !s) return s;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return n == 0 ? io_error("failed to write whole buffer") : io_error(errno);
        }
    }
    return {};
}

constexpr size_t kCommandAt = 10;  // of a request, and of the answer of a server that echoes

std::string command_text(uint16_t command) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", command);
    return text;
}

// The bytes of one response as they arrive; the header announces the body's length. With an
// expected command (0 to 0xFFFF), a header that names another one fails as soon as it is in.
class ResponseBuffer {
public:
    enum class Arrival { Bytes, Nothing, Interrupted };

    explicit ResponseBuffer(Bytes& frame, int command = -1) : frame_(frame), command_(command) {
        // Sized once for the largest response; never shrunk, so never filled with zeros again.
        if (frame_.size() < kHeaderSize + 0xFFFF) frame_.resize(kHeaderSize + 0xFFFF);
    }

    bool whole() const { return got_ >= want_; }
    bool started() const { return got_ > 0; }

    // One read of all that has arrived, usually the whole response.
    Status receive(int fd, Arrival& arrival) {
        const ssize_t n = ::recv(fd, frame_.data() + got_, frame_.size() - got_, 0);
        arrival = n > 0 ? Arrival::Bytes : errno == EINTR ? Arrival::Interrupted : Arrival::Nothing;
        if (n > 0) {
            const bool header_was_in = got_ >= kHeaderSize;
            got_ += size_t(n);
            if (got_ < kHeaderSize) return {};
            want_ = kHeaderSize + load_u16(frame_.data() + 12);
            if (!header_was_in && command_ >= 0 && echoed() != command_)
                return out_of_step("the answer names command " + command_text(echoed()) +
                                   ", the request " + command_text(uint16_t(command_)));
            return {};
        }
        if (n == 0) return io_error("failed to fill whole buffer");
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return {};
        return io_error(errno);
    }

    uint16_t echoed() const { return load_u16(frame_.data() + kCommandAt); }

    Status finish(size_t& size) const {
        // Bytes behind the answer came unasked (an answer sent again, say): out of step.
        if (got_ > want_) return out_of_step("more bytes than the header announces");
        size = got_;
        return {};
    }

private:
    Bytes& frame_;
    int command_;
    size_t got_ = 0, want_ = kHeaderSize;
};

// Reads one response whole into `frame` from a non-blocking socket. The request was just sent,
// so the first wait comes before the first read.
Status read_response(int fd, Clock::time_point deadline, int stop_fd, Bytes& frame, size_t& size) {
    ResponseBuffer in(frame);
    auto arrival = ResponseBuffer::Arrival::Nothing;
    while (!in.whole()) {
        if (arrival != ResponseBuffer::Arrival::Interrupted)
            if (Status s = wait_ready(fd, POLLIN, deadline, stop_fd); !s) return s;
        if (Status s = in.receive(fd, arrival); !s) return s;
    }
    return in.finish(size);
}

timeval as_timeval(Clock::duration d) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
    if (us < 1) us = 1;  // zero would mean no time-out at all
    return timeval{time_t(us / 1000000), suseconds_t(us % 1000000)};
}

bool readable_now(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

}  // namespace

Error stopped_error() {
    return Error{ErrorKind::Connection, kStoppedText, 0};
}

Error out_of_step(const std::string& what) {
    return Error{ErrorKind::Io, "out of step: " + what, 0};
}

bool is_stopped(const Error& e) {
    return e.kind == ErrorKind::Connection && e.message == kStoppedText;
}

Status WireConnection::connect(const net::SocketAddress& addr, Clock::duration timeout,
                               Clock::duration io_timeout, int stop_fd) {
    close();
    UniqueFd sock(::socket(addr.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!sock.valid()) return io_error(errno);
    if (::connect(sock.get(), addr.get(), addr.length) != 0) {
        if (errno != EINPROGRESS) return io_error(errno);
        if (Status s = wait_ready(sock.get(), POLLOUT, Clock::now() + timeout, stop_fd); !s) {
            if (s.error().os_errno == ETIMEDOUT)
                return Error{ErrorKind::Io, "connection timed out", ETIMEDOUT};
            return s;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return io_error(errno);
        if (err != 0) return io_error(err);
    }
    int one = 1;
    ::setsockopt(sock.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Bytes discard;
    size_t discarded = 0;
    bool echoes = true;
    for (const Bytes& request : net::kSetupRequests) {
        auto deadline = Clock::now() + io_timeout;
        if (Status s = send_all(sock.get(), request.data(), request.size(), deadline, stop_fd); !s)
            return s;
        if (Status s = read_response(sock.get(), deadline, stop_fd, discard, discarded); !s)
            return s;
        echoes = echoes &&
                 load_u16(discard.data() + kCommandAt) == load_u16(request.data() + kCommandAt);
    }
    const int flags = ::fcntl(sock.get(), F_GETFL);
    const timeval wait = as_timeval(io_timeout);
    if (flags < 0 || ::fcntl(sock.get(), F_SETFL, flags & ~O_NONBLOCK) != 0 ||
        ::setsockopt(sock.get(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0 ||
        ::setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0)
        return io_error(errno);
    std::lock_guard lock(m_);
    if (interrupted_) return stopped_error();
    sock_ = std::move(sock);
    receive_wait_ = io_timeout;
    echoes_ = echoes;
    return {};
}

void WireConnection::close() {
    std::lock_guard lock(m_);
    sock_.reset();
}

void WireConnection::interrupt() {
    std::lock_guard lock(m_);
    interrupted_ = true;
    // The descriptor stays open (its owner closes it, under the lock): no other socket can
    // take its number while this runs.
    if (sock_.valid()) ::shutdown(sock_.get(), SHUT_RDWR);
}

Status WireConnection::set_receive_wait(Clock::duration wait) {
    const timeval tv = as_timeval(wait);
    if (::setsockopt(sock_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
        return io_error(errno);
    receive_wait_ = wait;
    return {};
}

// Reads one response whole into `frame`, each read blocking at most the socket's receive
// time-out. That is shortened only once the deadline is nearer than it by more than an eighth
// of `timeout`: an answer arriving in pieces costs no system call more, and a trickling one
// fails at most that late.
Status WireConnection::read_blocking(Clock::duration timeout, Clock::time_point deadline,
                                     uint16_t command, Bytes& frame, size_t& size) {
    ResponseBuffer in(frame, echoes_ ? int(command) : -1);
    if (receive_wait_ != timeout)
        if (Status s = set_receive_wait(timeout); !s) return s;
    while (!in.whole()) {
        if (in.started()) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) return timed_out();
            if (left < receive_wait_ - timeout / 8)
                if (Status s = set_receive_wait(left); !s) return s;
        }
        auto arrival = ResponseBuffer::Arrival::Nothing;
        if (Status s = in.receive(sock_.get(), arrival); !s) return s;
        if (arrival == ResponseBuffer::Arrival::Nothing) return timed_out();
    }
    return in.finish(size);
}

// Bytes waiting before a request is sent came unasked: read as its answer, they would be taken
// for it. One peek, which does not wait; an end of stream waiting fails as the read would.
Status WireConnection::unread_bytes() {
    uint8_t byte;
    const ssize_t n = ::recv(sock_.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return out_of_step("bytes arrived before the request was sent");
    if (n == 0) return io_error("failed to fill whole buffer");
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return {};
    return io_error(errno);
}

Status WireConnection::exchange(const Bytes& request, Clock::duration timeout, int stop_fd,
                                Bytes& frame, size_t& size) {
    const auto deadline = Clock::now() + timeout;
    // A request fits the socket's buffer: the send does not block.
    Status s = unread_bytes();
    if (s) s = send_all(sock_.get(), request.data(), request.size(), deadline, stop_fd);
    if (s) s = read_blocking(timeout, deadline, load_u16(request.data() + kCommandAt), frame, size);
    if (!s) {
        // A read ended by interrupt() is the pool closing, not a fault of the server.
        if (readable_now(stop_fd)) s = stopped_error();
        // The rest of a failed response would be read as the next answer: never reuse the
        // stream.
        close();
    }
    return s;
}

}  // namespace pelmora::engine
