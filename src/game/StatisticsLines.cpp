#include "game/StatisticsLines.h"

#include <string_view>

#include "config/ServerSettings.h"
#include "log/ServerLog.h"
#include "protocol/LogVocabulary.h"

namespace varn {

namespace {

constexpr std::string_view kSeparator(&logvocabulary::kSeparator, 1);

}  // namespace

void StatisticsLines::onServerStarted() {
    if (!settings_.statLogging) return;
    ServerLog::instance().fileOnly(logvocabulary::kServerInit, *settings_.serverName, kSeparator,
                                   settings_.serverPortText, kSeparator, logvocabulary::kServerInitLabel,
                                   kSeparator, settings_.maxPlayers, kSeparator);
}

void StatisticsLines::onPlayerJoined(const PlayerJoined& event) {
    if (!settings_.statLogging) return;
    const PlayerView& player = event.player;
    ServerLog::instance().fileOnly(logvocabulary::kJoin, player.id(), kSeparator, player.name(), kSeparator,
                                   player.ipText(), kSeparator);
}

// Only a voluntary quit has a statistics line; the other ways out are read from their log lines.
void StatisticsLines::onPlayerLeft(const PlayerLeft& event) {
    if (!settings_.statLogging || event.reason != LeaveReason::Quit) return;
    ServerLog::instance().fileOnly(logvocabulary::kQuit, event.player.id());
}

void StatisticsLines::onPlayerDied(const PlayerDied& event) {
    if (!settings_.statLogging || !event.killer) return;
    auto& log = ServerLog::instance();
    log.fileOnly(logvocabulary::kKill, event.killer->id(), " ", event.victim.id());
    log.fileOnly(logvocabulary::kDeath, event.victim.id());
}

}  // namespace varn
