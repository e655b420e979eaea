#include "app/LoopTimers.h"

#include "app/MainLoop.h"
#include "game/GameServer.h"
#include "net/UdpEndpoint.h"
#include "platform/Clock.h"

namespace varn {

namespace {

constexpr LoopTasks::Milliseconds kSecond = 1000;

}  // namespace

// The loop counts on the monotonic clock: setting the system clock neither stalls nor hurries any
// interval.
LoopTimers::LoopTimers(MainLoop& loop, const platform::Clock& clock, GameServer& server, UdpEndpoint& gameEndpoint,
                       UdpEndpoint& adminEndpoint, std::int32_t chatFloodMaxCount)
    : loop_(loop),
      clock_(clock),
      server_(server),
      gameEndpoint_(gameEndpoint),
      adminEndpoint_(adminEndpoint),
      chatFloodMaxCount_(chatFloodMaxCount),
      secondTask_(loop.addPeriodic(kSecond, [this](LoopTasks::Milliseconds) { oncePerSecond(); })),
      sendPeriodTask_(loop.addPeriodic(kSecond, [this](LoopTasks::Milliseconds) { newSendPeriod(); })),
      crcTask_(loop.addPeriodic(kClientCrcIntervalSeconds * kSecond,
                                [this](LoopTasks::Milliseconds) { server_.checkClientCrc(); })) {}

LoopTimers::~LoopTimers() {
    loop_.removePeriodic(secondTask_);
    loop_.removePeriodic(sendPeriodTask_);
    loop_.removePeriodic(crcTask_);
}

void LoopTimers::oncePerSecond() { server_.passSecond(chatFloodMaxCount_, kTimeoutSeconds); }

void LoopTimers::restWhileQuiet(bool observersWantSeconds) {
    const bool quiet = !observersWantSeconds && !server_.needsSecondTicks() && gameEndpoint_.periodSent == 0 &&
                       gameEndpoint_.periodSentAndDropped == 0 && adminEndpoint_.periodSent == 0 &&
                       adminEndpoint_.periodSentAndDropped == 0;
    if (quiet == resting_) return;
    resting_ = quiet;
    if (quiet) {
        loop_.pausePeriodic(secondTask_);
        loop_.pausePeriodic(sendPeriodTask_);
        loop_.pausePeriodic(crcTask_);
        return;
    }
    server_.skipQuietSeconds(loop_.resumePeriodic(secondTask_));
    loop_.resumePeriodic(sendPeriodTask_);
    loop_.resumePeriodic(crcTask_);
}

void LoopTimers::newSendPeriod() {
    gameEndpoint_.resetSendPeriod();
    // The admin endpoint gets a new period too, or it would fall silent for good.
    adminEndpoint_.resetSendPeriod();
}

}  // namespace varn
