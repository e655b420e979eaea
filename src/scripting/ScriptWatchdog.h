#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace varn {

// The last line behind the count hook: a call stuck where the hook cannot stop it (inside one library
// function) would hold the one loop for good, and with it pings, shut-down and SIGTERM. A small thread
// of its own looks at the running call every kPollInterval and only reads what the loop thread
// publishes in two atomics (which script's call runs, and a count of calls); it touches nothing else
// while the call runs. When the same call has been running for stuckAfter, or for timeLimit while a
// stop was asked for (SIGTERM), it claims the call (so the loop thread, were it to come back, waits),
// writes one log line naming the script and ends the process with exit status 1 without running any
// destructor: the service manager restarts it.
class ScriptWatchdog {
public:
    using Milliseconds = std::chrono::milliseconds;
    static constexpr Milliseconds kPollInterval{100};
    static constexpr Milliseconds kStuckAfter{2000};
    static constexpr int kExitStatus = 1;
    // How the process ends (std::_Exit unless a test passes its own) and whether a stop was asked for.
    using End = std::function<void(int status)>;
    using StopRequested = std::function<bool()>;

    ScriptWatchdog(Milliseconds timeLimit, StopRequested stopRequested, End end = {},
                   Milliseconds stuckAfter = kStuckAfter);
    ~ScriptWatchdog();
    ScriptWatchdog(const ScriptWatchdog&) = delete;
    ScriptWatchdog& operator=(const ScriptWatchdog&) = delete;

    // From the loop thread, around every call; file lives until callEnded.
    void callStarted(const std::string& file) {
        calls_.fetch_add(1, std::memory_order_relaxed);
        running_.store(&file, std::memory_order_release);
    }
    void callEnded() {
        if (running_.exchange(nullptr, std::memory_order_acq_rel) == &kClaimed) waitForTheEnd();
    }

private:
    static const std::string kClaimed;

    void watch();
    // Whether the call seen now has been stuck long enough to end the process.
    bool stuck(std::chrono::steady_clock::time_point now, std::chrono::steady_clock::time_point since) const;
    void endProcess(const std::string& file, bool stopAsked);
    void waitForTheEnd();

    Milliseconds timeLimit_;
    Milliseconds stuckAfter_;
    StopRequested stopRequested_;
    End end_;
    std::atomic<const std::string*> running_{nullptr};
    std::atomic<std::uint64_t> calls_{0};
    // Set when a test's end returned: the claimed call may go on.
    std::atomic<bool> ended_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace varn
