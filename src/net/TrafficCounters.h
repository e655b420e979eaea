#pragma once

#include <cstdint>

namespace varn {

// What one socket has carried since start-up, for the metrics endpoint: plain integers that only
// grow, each an increment where the socket already does the work.
struct TrafficCounters {
    std::uint64_t datagramsReceived = 0;
    std::uint64_t bytesReceived = 0;
    std::uint64_t datagramsSent = 0;
    std::uint64_t bytesSent = 0;
    // Queued or sent datagrams the send limit dropped.
    std::uint64_t datagramsDropped = 0;
    // Datagrams longer than the receive buffer, refused unread.
    std::uint64_t oversizedReceived = 0;
    // Datagrams without even a command byte.
    std::uint64_t emptyReceived = 0;
};

}  // namespace varn
