#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varnadmin {

// What a server's answer to a browser status query says of it.
struct ServerStatus {
    std::string name;
    std::string version;
    int players = 0;
    int maxPlayers = 0;
};

// Reads a status reply ("EYE1", then counted texts: game, port, name, type, map, version, password,
// players, maximum); nothing when the datagram is not one or ends early.
std::optional<ServerStatus> readStatusReply(const std::vector<std::uint8_t>& datagram);

// Asks the server at host (IPv4 or a name) on its query port; nothing when no status reply comes within
// the time-out.
std::optional<ServerStatus> queryStatus(const std::string& host, std::uint16_t queryPort,
                                        std::chrono::milliseconds timeout);

}  // namespace varnadmin
