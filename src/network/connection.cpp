#include "network/connection.hpp"

#include <sys/socket.h>

#include "network/address.hpp"
#include "network/inflate.hpp"

namespace pelmora::net {

const Bytes kSetupRequests[3] = {
    {0x0C, 0x02, 0x18, 0x93, 0x00, 0x01, 0x03, 0x00, 0x03, 0x00, 0x0D, 0x00, 0x01},
    {0x0C, 0x02, 0x18, 0x94, 0x00, 0x01, 0x03, 0x00, 0x03, 0x00, 0x0D, 0x00, 0x02},
    {0x0C, 0x03, 0x18, 0x99, 0x00, 0x01, 0x20, 0x00, 0x20, 0x00, 0xDB, 0x0F, 0xD5, 0xD0,
     0xC9, 0xCC, 0xD6, 0xA4, 0xA8, 0xAF, 0x00, 0x00, 0x00, 0x8F, 0xC2, 0x25, 0x40, 0x13,
     0x00, 0x00, 0xD5, 0x00, 0xC9, 0xCC, 0xBD, 0xF0, 0xD7, 0xEA, 0x00, 0x00, 0x00, 0x02},
};

namespace {

constexpr auto kConnectTimeout = std::chrono::seconds(5);
constexpr size_t kHeaderSize = 16;

uint16_t u16_at(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}

// Reads one response whole: the header, then the Z body bytes it announces.
Status read_response(int fd, uint8_t (&header)[kHeaderSize], Bytes& wire, SignalCheck check) {
    if (Status s = read_exact(fd, header, kHeaderSize, check); !s) return s;
    wire.resize(u16_at(header + 12));
    return read_exact(fd, wire.data(), wire.size(), check);
}

}  // namespace

Status Connection::connect(std::string_view ip, uint16_t port, SignalCheck check) {
    std::string text = address_text(ip, port);
    auto addr = parse_socket_address(text);
    if (!addr)
        return Error{ErrorKind::Value,
                     "Invalid address '" + text + "': invalid socket address syntax", 0};

    UniqueFd sock;
    if (Status s = connect_with_timeout(*addr, kConnectTimeout, check, sock); !s) {
        Error e = s.take_error();
        if (e.kind == ErrorKind::PythonRaised) return e;
        return Error{ErrorKind::Connection, "Connect failed: " + e.message, e.os_errno};
    }
    if (Status s = set_io_timeout(sock.get(), true, kIoTimeout); !s)
        return Error{ErrorKind::Os, "Failed to set read timeout: " + s.error().message,
                     s.error().os_errno};
    if (Status s = set_io_timeout(sock.get(), false, kIoTimeout); !s)
        return Error{ErrorKind::Os, "Failed to set write timeout: " + s.error().message,
                     s.error().os_errno};

    uint8_t header[kHeaderSize];
    Bytes discard;
    for (const Bytes& request : kSetupRequests) {
        if (Status s = write_all(sock.get(), request.data(), request.size(), check); !s) return s;
        if (Status s = read_response(sock.get(), header, discard, check); !s) return s;
    }
    sock_ = std::move(sock);  // closes the previous connection, if any
    return {};
}

void Connection::disconnect() {
    UniqueFd sock = std::move(sock_);
    if (sock.valid()) ::shutdown(sock.get(), SHUT_RDWR);
}

Status Connection::fetch(const Bytes& request, Bytes& body, SignalCheck check) {
    uint8_t header[kHeaderSize];
    Bytes wire;
    Status s = write_all(sock_.get(), request.data(), request.size(), check);
    if (s) s = read_response(sock_.get(), header, wire, check);
    if (!s) {
        sock_.reset();
        return s;
    }
    size_t plain_size = u16_at(header + 14);
    if (wire.size() == plain_size) {
        body = std::move(wire);
        return {};
    }
    return inflate_exact(wire.data(), wire.size(), plain_size, body);
}

}  // namespace pelmora::net
