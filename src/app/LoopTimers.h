#pragma once

#include <cstdint>

namespace varn {

class GameServer;
class UdpEndpoint;
namespace platform {
class Clock;
}

// The main loop's timers: the once-a-second policing pass, a new send-limit period every second and
// the client check-sum tick every 30 seconds, all counted on the monotonic clock. Each fires at most
// once per call, in the first call after its interval has passed; there is no catching up after a
// long pass.
class LoopTimers {
public:
    // Every interval starts now.
    LoopTimers(const platform::Clock& clock, GameServer& server, UdpEndpoint& gameEndpoint,
               UdpEndpoint& adminEndpoint, std::int32_t chatFloodMaxCount);

    // Runs what is due.
    void runDue();
    // How long the loop may wait before something can be due: until the monotonic second turns.
    int millisecondsToNextPass() const;

    // A peer goes when its idle time passes this; with the check before the increment, after 16 to
    // 17 seconds of silence.
    static constexpr std::int32_t kTimeoutSeconds = 15;
    static constexpr std::int64_t kClientCrcIntervalSeconds = 30;

private:
    void oncePerSecond();
    std::int64_t now() const;

    const platform::Clock& clock_;
    GameServer& server_;
    UdpEndpoint& gameEndpoint_;
    UdpEndpoint& adminEndpoint_;
    std::int32_t chatFloodMaxCount_;
    std::int64_t secondRef_;
    std::int64_t sendLimitRef_;
    std::int64_t crcRef_;
};

}  // namespace varn
