#pragma once

#include <cstdint>

#include "net/LoopTasks.h"

namespace varn {

class GameServer;
class UdpEndpoint;
namespace platform {
class Clock;
}

// The main loop's timers, registered with it as three periodic tasks in this order: the
// once-a-second policing pass, a new send-limit period every second and the client check-sum tick
// every 30 seconds, all counted on the monotonic clock. Each runs at most once per pass, in the first
// pass after its interval has passed; there is no catching up after a long pass.
class LoopTimers {
public:
    // Every interval starts now.
    LoopTimers(LoopTasks& loop, const platform::Clock& clock, GameServer& server, UdpEndpoint& gameEndpoint,
               UdpEndpoint& adminEndpoint, std::int32_t chatFloodMaxCount);
    // Takes the three tasks back from the loop.
    ~LoopTimers();
    LoopTimers(const LoopTimers&) = delete;
    LoopTimers& operator=(const LoopTimers&) = delete;

    // A peer goes when its idle time passes this; with the check before the increment, after 16 to
    // 17 seconds of silence.
    static constexpr std::int32_t kTimeoutSeconds = 15;
    static constexpr std::int64_t kClientCrcIntervalSeconds = 30;

private:
    void oncePerSecond();
    void newSendPeriod();

    LoopTasks& loop_;
    const platform::Clock& clock_;
    GameServer& server_;
    UdpEndpoint& gameEndpoint_;
    UdpEndpoint& adminEndpoint_;
    std::int32_t chatFloodMaxCount_;
    LoopTasks::TaskId secondTask_;
    LoopTasks::TaskId sendPeriodTask_;
    LoopTasks::TaskId crcTask_;
};

}  // namespace varn
