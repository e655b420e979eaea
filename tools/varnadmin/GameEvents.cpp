#include "GameEvents.h"

#include <cstdint>
#include <cstdio>

#include "AdminProtocolConstants.h"

namespace varnadmin {

namespace admin = varn::admin;

namespace {

// The text from index up to its NUL or the end of the datagram.
std::string textFrom(const Bytes& bytes, std::size_t index) {
    std::string text;
    for (; index < bytes.size() && bytes[index] != 0; ++index) {
        text.push_back(static_cast<char>(bytes[index]));
    }
    return text;
}

int signedByte(std::uint8_t byte) { return static_cast<std::int8_t>(byte); }

int uint16At(const Bytes& bytes, std::size_t index) { return bytes[index] | bytes[index + 1] << 8; }

}  // namespace

GameEvents::GameEvents(const std::vector<Player>& players) {
    for (const Player& player : players) players_[player.id] = player;
}

std::string GameEvents::leaveReason(int reason) {
    switch (reason) {
        case admin::kLeftQuit: return "quit";
        case admin::kLeftKickedOrBanned: return "kicked or banned by an admin";
        case admin::kLeftTimeout: return "timed out";
        case admin::kLeftChatFlood: return "removed for chat flood";
        case admin::kLeftTrainer: return "removed for using a trainer";
        case admin::kLeftCrcMismatch: return "removed: wrong client check-sum";
        case admin::kLeftCrcUnanswered: return "removed: client check-sum not answered";
        default: return "reason " + std::to_string(reason);
    }
}

std::string GameEvents::who(int id) const {
    const auto found = players_.find(id);
    if (found == players_.end()) return std::to_string(id);
    return std::to_string(id) + " '" + found->second.name + "'";
}

std::optional<std::string> GameEvents::describe(const Datagram& datagram) {
    const Bytes& bytes = datagram.bytes;
    if (bytes.empty()) return std::nullopt;
    if (!datagram.fromAdminPort) {
        if (bytes[0] == admin::kMessageOfTheDay) return "motd: " + textFrom(bytes, 1);
        return std::nullopt;
    }
    switch (bytes[0]) {
        case admin::kPlayerJoined:
            if (bytes.size() >= 2) {
                Player player;
                player.id = bytes[1];
                player.name = textFrom(bytes, 2);
                const std::string address = textFrom(bytes, 3 + player.name.size());
                players_[player.id] = player;
                return "join: " + who(player.id) + " from " + address;
            }
            break;
        case admin::kPlayerLeft:
            if (bytes.size() >= 3) {
                const std::string line = "leave: " + who(bytes[2]) + " (" + leaveReason(bytes[1]) + ")";
                players_.erase(bytes[2]);
                return line;
            }
            break;
        case admin::kChat:
            if (bytes.size() >= 3) {
                // Admin chat carries the admin's id where player chat carries the player's, so it
                // shows under the player with that id, if there is one.
                return "chat: " + who(bytes[1]) + ": " + textFrom(bytes, 3);
            }
            break;
        case admin::kDeath:
            if (bytes.size() >= 3) {
                const int victim = bytes[1];
                const int killer = signedByte(bytes[2]);
                if (killer == victim) return "death: " + who(victim) + " (suicide)";
                if (players_.contains(killer)) return "kill: " + who(killer) + " killed " + who(victim);
                return "death: " + who(victim) + " died";
            }
            break;
        case admin::kScore:
            if (bytes.size() >= 4) {
                const int score = static_cast<std::int16_t>(uint16At(bytes, 2));
                const auto found = players_.find(bytes[1]);
                if (found != players_.end()) found->second.score = score;
                return "score: " + who(bytes[1]) + " now " + std::to_string(score);
            }
            break;
        case admin::kPlayerPing:
            if (bytes.size() >= 4) {
                return "ping: " + who(bytes[1]) + " " + std::to_string(uint16At(bytes, 2)) + " ms";
            }
            break;
        default: break;
    }
    return "unknown datagram: " + hexOf(bytes);
}

std::string hexOf(const Bytes& bytes) {
    std::string text;
    for (const std::uint8_t byte : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        if (!text.empty()) text.push_back(' ');
        text += pair;
    }
    return text;
}

}  // namespace varnadmin
