#include "scripting/GameForScripts.h"

#include "access/BanDetails.h"
#include "config/ServerSettings.h"
#include "game/GameServer.h"
#include "platform/Clock.h"
#include "protocol/AdminProtocol.h"

namespace varn {

ScriptPlayer scriptPlayerOf(const PlayerView& view) {
    ScriptPlayer player;
    player.id = view.id();
    player.name = std::string(view.name());
    player.ip = std::string(view.ipText());
    player.score = view.score();
    player.ping = view.ping();
    player.idleSeconds = view.idleSeconds();
    player.inVehicle = view.inVehicle();
    return player;
}

GameForScripts::GameForScripts(GameServer& game, const ServerSettings& settings, const platform::Clock& clock)
    : game_(game), settings_(settings), clock_(clock) {}

void GameForScripts::sendText(std::int32_t toPlayer, std::string_view text) {
    game_.requestSendText(toPlayer, static_cast<std::uint8_t>(settings_.scripts.textSenderId),
                          static_cast<std::uint8_t>(settings_.scripts.textKind), text);
}

bool GameForScripts::kick(std::int32_t playerId, std::string_view file) {
    if (!game_.findPlayer(playerId)) return false;
    game_.requestKick(playerId, Actor{Actor::Kind::Script, file});
    return true;
}

// As an administrator's ban with a time limit and a reason: who and when go into the ban list, the
// time limit and the reason end the log line.
bool GameForScripts::ban(std::int32_t playerId, std::string_view file, std::uint32_t seconds, std::string_view reason) {
    if (!game_.findPlayer(playerId)) return false;
    BanDetails details;
    const std::int64_t now = clock_.calendarSeconds();
    if (seconds != 0) details.until = now + seconds;
    details.by = banDetailValue("script:" + std::string(file));
    details.at = now;
    details.reason = banReasonValue(reason);
    std::string logSuffix;
    if (details.until) logSuffix += " until " + utcDateText(*details.until);
    if (!details.reason.empty()) logSuffix += " (" + details.reason + ")";
    game_.requestBan(playerId, Actor{Actor::Kind::Script, file}, std::move(details), std::move(logSuffix));
    return true;
}

void GameForScripts::collectPlayers(std::vector<ScriptPlayer>& players) const {
    game_.forEachPlayer([&players](const PlayerView& view) { players.push_back(scriptPlayerOf(view)); });
}

std::optional<ScriptPlayer> GameForScripts::findPlayer(std::int32_t id) const {
    const std::optional<PlayerView> view = game_.findPlayer(id);
    if (!view) return std::nullopt;
    return scriptPlayerOf(*view);
}

ScriptServerFacts GameForScripts::facts() const {
    ScriptServerFacts facts;
    facts.serverName = settings_.serverName.value_or(std::string());
    facts.maxPlayers = settings_.maxPlayers;
    facts.serverPort = settings_.serverPort;
    facts.adminPort = !settings_.adminServer ? 0 : settings_.adminPort > 0 ? settings_.adminPort : admin::kDefaultPort;
    return facts;
}

}  // namespace varn
