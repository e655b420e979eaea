#include "scripting/ScriptWatchdog.h"

#include <cstdlib>

#include "log/ServerLog.h"

namespace varn {

const std::string ScriptWatchdog::kClaimed = "claimed";

ScriptWatchdog::ScriptWatchdog(Milliseconds timeLimit, StopRequested stopRequested, End end, Milliseconds stuckAfter)
    : timeLimit_(timeLimit), stuckAfter_(stuckAfter), stopRequested_(std::move(stopRequested)),
      end_(end ? std::move(end) : End([](int status) { std::_Exit(status); })), thread_([this] { watch(); }) {}

ScriptWatchdog::~ScriptWatchdog() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void ScriptWatchdog::watch() {
    using Clock = std::chrono::steady_clock;
    const std::string* seenFile = nullptr;
    std::uint64_t seenCalls = 0;
    Clock::time_point since;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, kPollInterval, [this] { return quit_; })) {
        const std::string* file = running_.load(std::memory_order_acquire);
        const std::uint64_t calls = calls_.load(std::memory_order_relaxed);
        const Clock::time_point now = Clock::now();
        if (file == nullptr || file == &kClaimed) {
            seenFile = nullptr;
            continue;
        }
        // A call seen for the first time is timed from now.
        if (file != seenFile || calls != seenCalls) {
            seenFile = file;
            seenCalls = calls;
            since = now;
            continue;
        }
        if (!stuck(now, since)) continue;
        const std::string* expected = file;
        if (!running_.compare_exchange_strong(expected, &kClaimed, std::memory_order_acq_rel)) continue;
        endProcess(*file, stopRequested_ && stopRequested_());
        return;
    }
}

bool ScriptWatchdog::stuck(std::chrono::steady_clock::time_point now, std::chrono::steady_clock::time_point since) const {
    const auto elapsed = now - since;
    return elapsed >= stuckAfter_ || (elapsed >= timeLimit_ && stopRequested_ && stopRequested_());
}

// The loop thread is inside the claimed call and never comes back from it to the log: the line is
// this thread's to write.
void ScriptWatchdog::endProcess(const std::string& file, bool stopAsked) {
    if (stopAsked) {
        ServerLog::instance().line("SCRIPT-ERROR: ", printableForLog(file),
                                   ": a call is stuck past its time limit and a stop was asked for; the server ends "
                                   "(exit status ",
                                   kExitStatus, ").");
    } else {
        ServerLog::instance().line("SCRIPT-ERROR: ", printableForLog(file), ": a call has been stuck for ",
                                   stuckAfter_.count(), " ms where its budget cannot stop it; the server ends (exit status ",
                                   kExitStatus, ").");
    }
    end_(kExitStatus);
    ended_.store(true, std::memory_order_release);
}

void ScriptWatchdog::waitForTheEnd() {
    while (!ended_.load(std::memory_order_acquire)) std::this_thread::sleep_for(Milliseconds(1));
}

}  // namespace varn
