#pragma once

// The master's side of the browser channel: reading a heartbeat, putting a status reply that came in
// pieces back together, and reading the status reply's fields. Every read stays inside its datagram.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "protocol/BrowserProtocol.h"

namespace varn::browser {

// The query port a heartbeat announces: exactly "\hb\" + a decimal port 1..65535 (no leading zero) +
// "\varn"; nothing for any other datagram.
std::optional<std::uint16_t> decodeHeartbeat(std::span<const std::uint8_t> datagram);

struct StatusPlayer {
    std::string name;
    std::int32_t score = 0;
    std::int32_t ping = 0;
};

// What a status reply carries.
struct ServerStatus {
    std::string gameName;
    std::int32_t gamePort = 0;
    std::string serverName;
    std::string gameType;
    std::string mapName;
    std::string version;
    bool password = false;
    std::int32_t players = 0;
    std::int32_t maxPlayers = 0;
    std::vector<std::pair<std::string, std::string>> rules;
    std::vector<StatusPlayer> playerList;
};

// A reply holds at most this many rules and players; one with more is refused.
inline constexpr std::size_t kMostStatusRules = 64;
inline constexpr std::size_t kMostStatusPlayers = 1024;

// The fields of a whole status reply; nothing when it is not one (a wrong magic, a text running past
// the end, a number field that is not a number, more rules or players than allowed).
std::optional<ServerStatus> decodeStatusReply(std::span<const std::uint8_t> reply);

// Puts the pieces of one status reply together: a datagram below 1364 bytes that starts with "EYE1"
// is a whole reply; a longer reply comes as a first piece of 1364 bytes ("EYE1" ...) and pieces under
// "EYE2", "EYE3", ... each ending in the reply's 4-byte identifier, the last one shorter than a full
// piece (a closing piece holds just one 0x00). Pieces may come in any order; one from another reply
// (another identifier) is refused.
class StatusPieces {
public:
    static constexpr std::size_t kMostPieces = 8;
    enum class Outcome : std::uint8_t { incomplete, complete, refused };

    Outcome add(std::span<const std::uint8_t> datagram);
    // The whole reply, once add() said complete.
    const std::vector<std::uint8_t>& reply() const { return reply_; }
    void clear();

private:
    bool allHere() const;

    std::array<std::vector<std::uint8_t>, kMostPieces> pieces_{};
    std::array<bool, kMostPieces> present_{};
    std::optional<std::uint32_t> identifier_;
    std::optional<std::size_t> lastPiece_;
    std::vector<std::uint8_t> reply_;
};

}  // namespace varn::browser
