#include "adminclient/GameEvents.h"

#include <cstdint>
#include <cstdio>

#include "protocol/Packet.h"
#include "protocol/GameProtocol.h"

namespace varnadmin {

namespace command = varn::command;
namespace leftReason = varn::leftReason;

GameEvents::GameEvents(const std::vector<Player>& players) {
    for (const Player& player : players) players_[player.id] = player;
}

std::string GameEvents::leaveReason(int reason) {
    switch (reason) {
        case leftReason::kQuit: return "quit";
        case leftReason::kKickedOrBanned: return "kicked or banned by an admin";
        case leftReason::kTimeout: return "timed out";
        case leftReason::kChatFlood: return "removed for chat flood";
        case leftReason::kTrainer: return "removed for using a trainer";
        case leftReason::kCrcMismatch: return "removed: wrong client check-sum";
        case leftReason::kCrcUnanswered: return "removed: client check-sum not answered";
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
    const varn::PacketReader reader(bytes.data(), bytes.size());
    if (!datagram.fromAdminPort) {
        if (const auto text = varn::decodeMessageOfTheDay(reader)) return "motd: " + std::string(*text);
        return std::nullopt;
    }
    switch (bytes[0]) {
        case command::kPlayerJoined:
            if (const auto joined = varn::decodePlayerJoined(reader)) {
                players_[joined->playerId] = Player{joined->playerId, 0, std::string(joined->name)};
                return "join: " + who(joined->playerId) + " from " + std::string(joined->address);
            }
            break;
        case command::kPlayerLeft:
            if (const auto left = varn::decodePlayerLeft(reader)) {
                const std::string line =
                    "leave: " + who(left->playerId) + " (" + leaveReason(left->reason) + ")";
                players_.erase(left->playerId);
                return line;
            }
            break;
        case command::kChat:
            if (const auto chat = varn::decodeChat(reader)) {
                // Admin chat carries the admin's id where player chat carries the player's, so it
                // shows under the player with that id, if there is one.
                return "chat: " + who(chat->senderId) + ": " + std::string(chat->text);
            }
            break;
        case command::kDeath:
            if (const auto death = varn::decodeDeath(reader)) {
                const int victim = death->victimId;
                const int killer = death->killerId;
                if (killer == victim) return "death: " + who(victim) + " (suicide)";
                if (players_.contains(killer)) return "kill: " + who(killer) + " killed " + who(victim);
                return "death: " + who(victim) + " died";
            }
            break;
        case command::kScore:
            if (const auto score = varn::decodeScore(reader)) {
                const auto found = players_.find(score->playerId);
                if (found != players_.end()) found->second.score = score->score;
                return "score: " + who(score->playerId) + " now " + std::to_string(score->score);
            }
            break;
        case command::kPlayerPing:
            if (const auto ping = varn::decodePlayerPing(reader)) {
                return "ping: " + who(ping->playerId) + " " + std::to_string(ping->milliseconds) + " ms";
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
