// A client's TCP connection to one HQ server: connect with set-up exchange, and fetch, the one
// request/response exchange every command uses.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "common/unique_fd.hpp"
#include "network/socket_io.hpp"

namespace pelmora::net {

class Connection {
public:
    bool connected() const { return sock_.valid(); }

    // Opens a new connection and runs the set-up exchange; only a fully set-up connection
    // replaces the current one. On failure the current connection is kept as it was.
    Status connect(std::string_view ip, uint16_t port, SignalCheck check);

    // Shuts the socket down in both directions and closes it; no connection afterwards.
    void disconnect();

    // Writes `request`, reads the 16-byte header and the body, inflates a compressed body.
    // A failure before the whole response is read leaves the stream out of step, so the
    // connection is dropped; later failures (inflation) keep it.
    Status fetch(const Bytes& request, Bytes& body, SignalCheck check);

private:
    UniqueFd sock_;
};

// Byte-exact set-up requests sent after every connect.
extern const Bytes kSetupRequests[3];

}  // namespace pelmora::net
