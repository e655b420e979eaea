#pragma once

#include "game/GameEvents.h"

namespace varn {

struct ServerSettings;

// The one writer of the statistics lines (file only, with StatLogging 1): the server's start, joins,
// voluntary quits, kills and deaths, from the game's events. The vehicle and weapon lines are the
// sync relay's own, written where it knows a value changed.
class StatisticsLines final : public GameObserver {
public:
    // The settings are read at each event: StatLogging may change while the server runs in tests.
    explicit StatisticsLines(const ServerSettings& settings) : settings_(settings) {}

    void onServerStarted() override;
    void onPlayerJoined(const PlayerJoined& event) override;
    void onPlayerLeft(const PlayerLeft& event) override;
    void onPlayerDied(const PlayerDied& event) override;

private:
    const ServerSettings& settings_;
};

}  // namespace varn
