#pragma once

#include <cstdint>

#include "net/LoopTasks.h"

namespace varn {

class GameServer;
class UdpEndpoint;
class MainLoop;
namespace platform {
class Clock;
}

// The main loop's timers, registered with it as three periodic tasks in this order: the
// once-a-second policing pass, a new send-limit period every second and the client check-sum tick
// every 30 seconds, all counted on the monotonic clock. Each runs at most once per pass, in the first
// pass after its interval has passed; there is no catching up after a long pass.
//
// The three rest while nothing needs them (restWhileQuiet), so that a server nobody uses does not
// wake every second; resting or not, the passes that do run fall on the same seconds.
class LoopTimers {
public:
    // Every interval starts now.
    LoopTimers(MainLoop& loop, const platform::Clock& clock, GameServer& server, UdpEndpoint& gameEndpoint,
               UdpEndpoint& adminEndpoint, std::int32_t chatFloodMaxCount);
    // Takes the three tasks back from the loop.
    ~LoopTimers();
    LoopTimers(const LoopTimers&) = delete;
    LoopTimers& operator=(const LoopTimers&) = delete;

    // A peer goes when its idle time passes this; with the check before the increment, after 16 to
    // 17 seconds of silence.
    static constexpr std::int32_t kTimeoutSeconds = 15;
    static constexpr std::int64_t kClientCrcIntervalSeconds = 30;

    // Called after each pass: pauses the three tasks when none of them has anything to do (no
    // player, administrator or other work of the game's, nothing sent in this send period, and
    // observersWantSeconds false), and resumes them in their old phase, with the game told of the
    // seconds it skipped, once something needs them again.
    void restWhileQuiet(bool observersWantSeconds);
    bool resting() const { return resting_; }

private:
    void oncePerSecond();
    void newSendPeriod();

    MainLoop& loop_;
    const platform::Clock& clock_;
    GameServer& server_;
    UdpEndpoint& gameEndpoint_;
    UdpEndpoint& adminEndpoint_;
    std::int32_t chatFloodMaxCount_;
    LoopTasks::TaskId secondTask_;
    LoopTasks::TaskId sendPeriodTask_;
    LoopTasks::TaskId crcTask_;
    bool resting_ = false;
};

}  // namespace varn
