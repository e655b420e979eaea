#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "adminclient/AdminConnection.h"

namespace varnadmin {

// Turns what an admin receives of the game into one line of text each, keeping the names and
// scores of the players from the welcome and the joins and leaves since.
class GameEvents {
public:
    explicit GameEvents(const std::vector<Player>& players);

    // The line for one datagram, or nothing for what is not worth a line.
    std::optional<std::string> describe(const Datagram& datagram);

    // The players as the welcome and the notices since have left them, by id.
    const std::map<int, Player>& players() const { return players_; }

    // The reason of a player-left notice in words.
    static std::string leaveReason(int reason);

private:
    std::string who(int id) const;

    std::map<int, Player> players_;
};

// Bytes as hexadecimal pairs, for datagrams the client does not know.
std::string hexOf(const Bytes& bytes);

}  // namespace varnadmin
