#include "network/socket_io.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

namespace pelmora::net {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    // Round up so that a wait never ends before the deadline.
    return left.count() <= 0 ? 0 : int(left.count()) + 1;
}

// A send or recv was interrupted: give the interpreter its chance to run signal handlers, then
// wait for readiness with only the time left of this call's time-out. Returns ok to retry.
Status resume_after_signal(int fd, short events, Clock::time_point deadline, SignalCheck check) {
    for (;;) {
        if (check && check()) return Error{ErrorKind::PythonRaised, {}, EINTR};
        int ms = remaining_ms(deadline);
        if (ms == 0) return io_error(EAGAIN);
        pollfd p{fd, events, 0};
        int rc = ::poll(&p, 1, ms);
        if (rc > 0) return {};
        if (rc == 0) return io_error(EAGAIN);
        if (errno != EINTR) return io_error(errno);
    }
}

}  // namespace

Status connect_with_timeout(const SocketAddress& addr, std::chrono::nanoseconds timeout,
                            SignalCheck check, UniqueFd& out) {
    UniqueFd sock(::socket(addr.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!sock.valid()) return io_error(errno);
    if (::connect(sock.get(), addr.get(), addr.length) != 0) {
        if (errno != EINPROGRESS) return io_error(errno);
        auto deadline = Clock::now() + timeout;
        for (;;) {
            int ms = remaining_ms(deadline);
            if (ms == 0) return io_error("connection timed out");
            pollfd p{sock.get(), POLLOUT, 0};
            int rc = ::poll(&p, 1, ms);
            if (rc > 0) break;
            if (rc == 0) return io_error("connection timed out");
            if (errno != EINTR) return io_error(errno);
            if (check && check()) return Error{ErrorKind::PythonRaised, {}, EINTR};
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return io_error(errno);
        if (err != 0) return io_error(err);
    }
    int flags = ::fcntl(sock.get(), F_GETFL);
    if (flags < 0 || ::fcntl(sock.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return io_error(errno);
    out = std::move(sock);
    return {};
}

Status set_io_timeout(int fd, bool read, std::chrono::seconds timeout) {
    timeval tv{};
    tv.tv_sec = timeout.count();
    if (::setsockopt(fd, SOL_SOCKET, read ? SO_RCVTIMEO : SO_SNDTIMEO, &tv, sizeof tv) != 0)
        return io_error(errno);
    return {};
}

Status write_all(int fd, const uint8_t* data, size_t size, SignalCheck check) {
    // Each call waits at most the socket time-out; a signal does not restart that clock.
    auto deadline = Clock::now() + kIoTimeout;
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= size_t(n);
            deadline = Clock::now() + kIoTimeout;
        } else if (n == 0) {
            return io_error("failed to write whole buffer");
        } else if (errno == EINTR) {
            if (Status s = resume_after_signal(fd, POLLOUT, deadline, check); !s) return s;
        } else {
            return io_error(errno);
        }
    }
    return {};
}

Status read_exact(int fd, uint8_t* data, size_t size, SignalCheck check) {
    auto deadline = Clock::now() + kIoTimeout;
    while (size > 0) {
        ssize_t n = ::recv(fd, data, size, 0);
        if (n > 0) {
            data += n;
            size -= size_t(n);
            deadline = Clock::now() + kIoTimeout;
        } else if (n == 0) {
            return io_error("failed to fill whole buffer");
        } else if (errno == EINTR) {
            if (Status s = resume_after_signal(fd, POLLIN, deadline, check); !s) return s;
        } else {
            return io_error(errno);
        }
    }
    return {};
}

}  // namespace pelmora::net
