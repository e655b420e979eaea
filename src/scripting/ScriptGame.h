#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varn {

// A player as a script reads it.
struct ScriptPlayer {
    std::int32_t id = 0;
    std::string name;
    std::string ip;
    std::int32_t score = 0;
    std::int32_t ping = 0;
    std::int32_t idleSeconds = 0;
    bool inVehicle = false;
};

// What the server tells scripts about itself.
struct ScriptServerFacts {
    std::string serverName;
    std::int32_t maxPlayers = 0;
    std::int32_t serverPort = 0;
    std::int32_t adminPort = 0;
};

// What scripts may ask the game: read the players, and actions carried out after the handler that
// asked for them (the game's deferred actions). file names the script in the removal lines.
class ScriptGame {
public:
    virtual ~ScriptGame() = default;

    // toPlayer kNoPlayer (-1): every player and administrator. The text is already checked.
    virtual void sendText(std::int32_t toPlayer, std::string_view text) = 0;
    virtual bool kick(std::int32_t playerId, std::string_view file) = 0;
    // seconds 0: no time limit; an empty reason: none.
    virtual bool ban(std::int32_t playerId, std::string_view file, std::uint32_t seconds, std::string_view reason) = 0;
    virtual void collectPlayers(std::vector<ScriptPlayer>& players) const = 0;
    virtual std::optional<ScriptPlayer> findPlayer(std::int32_t id) const = 0;
    virtual ScriptServerFacts facts() const = 0;
};

}  // namespace varn
