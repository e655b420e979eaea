#pragma once

#include <cstdint>

#include "scripting/ScriptGame.h"

namespace varn {

class GameServer;
class PlayerView;
struct ServerSettings;
namespace platform {
class Clock;
}

// A player as scripts read it, copied from the game's view.
ScriptPlayer scriptPlayerOf(const PlayerView& view);

// The game as scripts reach it: its deferred actions and its view of the players. A script's texts
// go out with the configured sender id and kind; its kicks and bans name it in the removal line
// ("by Script <file>") and its bans in the ban list ("by=script:<file>").
class GameForScripts final : public ScriptGame {
public:
    GameForScripts(GameServer& game, const ServerSettings& settings, const platform::Clock& clock);

    void sendText(std::int32_t toPlayer, std::string_view text) override;
    bool kick(std::int32_t playerId, std::string_view file) override;
    bool ban(std::int32_t playerId, std::string_view file, std::uint32_t seconds, std::string_view reason) override;
    void collectPlayers(std::vector<ScriptPlayer>& players) const override;
    std::optional<ScriptPlayer> findPlayer(std::int32_t id) const override;
    ScriptServerFacts facts() const override;

private:
    GameServer& game_;
    const ServerSettings& settings_;
    const platform::Clock& clock_;
};

}  // namespace varn
