#include "app/LoopTimers.h"

#include "access/BanList.h"
#include "game/GameServer.h"
#include "net/UdpEndpoint.h"
#include "platform/Clock.h"

namespace varn {

LoopTimers::LoopTimers(const platform::Clock& clock, GameServer& server, UdpEndpoint& gameEndpoint,
                       UdpEndpoint& adminEndpoint, std::int32_t chatFloodMaxCount)
    : clock_(clock),
      server_(server),
      gameEndpoint_(gameEndpoint),
      adminEndpoint_(adminEndpoint),
      chatFloodMaxCount_(chatFloodMaxCount),
      secondRef_(now()),
      sendLimitRef_(secondRef_),
      crcRef_(secondRef_) {}

// The monotonic clock: setting the system clock neither stalls nor hurries any interval.
std::int64_t LoopTimers::now() const {
    return clock_.monotonicSeconds();
}

void LoopTimers::runDue() {
    const std::int64_t current = now();
    if (current - secondRef_ >= 1) {
        oncePerSecond();
        secondRef_ = current;
    }
    if (current - sendLimitRef_ >= 1) {
        gameEndpoint_.resetSendPeriod();
        // The admin endpoint gets a new period too, or it would fall silent for good.
        adminEndpoint_.resetSendPeriod();
        sendLimitRef_ = current;
    }
    if (current - crcRef_ >= kClientCrcIntervalSeconds) {
        server_.checkClientCrc();
        crcRef_ = current;
    }
}

void LoopTimers::oncePerSecond() {
    server_.checkChatFlood(chatFloodMaxCount_);
    server_.resetChatCounters();
    server_.checkJoinFlood();
    server_.checkTimeouts(kTimeoutSeconds);
    server_.addIdleTime(1);
    server_.sendPings();
    server_.reportWrongPasswords();
    // Ban expiry dates are dates: the game reads the calendar clock.
    server_.expireBans();
    server_.notifySecondPassed();
}

int LoopTimers::millisecondsToNextPass() const {
    return clock_.millisecondsToNextSecond();
}

}  // namespace varn
