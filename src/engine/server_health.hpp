// What the pool knows of each server: whether it has shown that it serves data, its run of
// failures, the back-off before the next connect, and why it was set aside.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/wire.hpp"
#include "network/address.hpp"

namespace pelmora::engine {

enum class ServerState : uint8_t {
    Unverified,  // not yet asked for data
    Verified,    // answered a data request with data
    SetAside,    // not used until `until` (forever for servers that serve no data)
};

inline constexpr const char* kServerStateNames[] = {"unverified", "verified", "set aside"};

struct ServerHealth {
    net::SocketAddress address;
    std::string name;  // "ip:port", as shown in warnings and errors
    ServerState state = ServerState::Unverified;
    std::string reason;  // why it was set aside
    int failures = 0;    // failures in a row: the back-off grows with them
    uint8_t recent = 0;  // outcomes of the last 8 exchanges, a set bit for each failure
    int connections = 0;
    Clock::time_point retry_after{};
    Clock::time_point until = Clock::time_point::max();
};

// Failures among a server's last 8 exchanges that set it aside for the cool-down: a server
// that fails every other request (say, garbage that leaves the client waiting) must go too.
inline constexpr int kFailureLimit = 3;
inline constexpr auto kFirstBackoff = std::chrono::milliseconds(50);
inline constexpr auto kMaxBackoff = std::chrono::seconds(2);

// Back-off before connecting again after `failures` failures in a row: doubling from 50 ms.
inline Clock::duration backoff_after(int failures) {
    Clock::duration d = kFirstBackoff;
    for (int i = 1; i < failures && d < kMaxBackoff; ++i) d *= 2;
    return d < kMaxBackoff ? d : Clock::duration(kMaxBackoff);
}

}  // namespace pelmora::engine
