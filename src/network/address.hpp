// Literal socket addresses: "a.b.c.d:port" or "[v6]:port". Host names are never resolved.
#pragma once

#include <sys/socket.h>

#include <optional>
#include <string>
#include <string_view>

namespace pelmora::net {

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family() const { return storage.ss_family; }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// The text "{ip}:{port}" the address is parsed from (and shown in errors).
std::string address_text(std::string_view ip, unsigned port);

std::optional<SocketAddress> parse_socket_address(std::string_view text);

}  // namespace pelmora::net
