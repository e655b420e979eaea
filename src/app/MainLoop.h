#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/LoopWait.h"
#include "net/LoopTasks.h"
#include "platform/Wait.h"

namespace varn {

namespace platform {
class Clock;
}

// The server's main loop: the sockets and periodic tasks registered with it, the one wait between
// two passes, and the time of each pass.
//
// A pass runs the periodic tasks that are due, in registration order, then the sockets that the
// wait before it reported ready (or that were woken for the pass), in registration order. The
// application registers its own sockets first (the game, admin and browser sockets, the console key
// and the signals), so that they keep their order and the sockets other features register are served
// after them; its three timers keep their order among themselves, behind the scripts' timers that are
// set while the game starts. A socket is never read because it might hold something: only what the
// wait reported.
//
// The pass's time is looked up once, when first asked for; a wait that ran out its time-out gives
// the pass its deadline instead, and a wait woken by input lets the periodic tasks be judged against
// the one look-up.
class MainLoop final : public LoopTasks {
public:
    explicit MainLoop(const platform::Clock& clock,
                      std::unique_ptr<platform::WaitSet> waitSet = platform::createWaitSet());
    ~MainLoop() override;
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    TaskId addSocket(platform::WaitHandle handle, Interest interest,
                     std::function<void(Readiness, Milliseconds now)> onReady) override;
    void setInterest(TaskId socket, Interest interest) override;
    void removeSocket(TaskId socket) override;
    TaskId addPeriodic(Milliseconds intervalMilliseconds, std::function<void(Milliseconds now)> task) override;
    void removePeriodic(TaskId task) override;
    // A paused periodic task neither runs nor bounds the wait until it is resumed. Resumed, it keeps
    // its phase: its next run is the first of its old run times after the pass's time. Returns how
    // many runs it missed while paused (0 when it was not paused).
    void pausePeriodic(TaskId task);
    std::int64_t resumePeriodic(TaskId task);

    // The pass's time: the last wait's deadline when it ran out, otherwise the clock, read once.
    Milliseconds now();
    // Runs the periodic tasks that are due: each at most once per pass (a late one does not catch up;
    // its next run is one interval after the one it missed, or after now when that has passed too).
    void runDueTimers();
    // The same at the given time, which becomes the pass's time (the tests' manual clocks).
    void runDueTimers(Milliseconds now);
    // Runs the socket tasks that the last wait reported ready, and those woken for this pass.
    void runReadySockets();
    // Runs the socket's task in this pass even if the wait did not report it (with no readiness):
    // keys already read from the console, a heartbeat that fell due.
    void wake(TaskId socket);
    // Watches the socket's task by another handle from now on (kNoWaitHandle: by none for now);
    // nothing happens when the handle is the same.
    void setHandle(TaskId socket, platform::WaitHandle handle);
    // Waits in the kernel until a watched socket is ready, the next periodic task is due or, when
    // longestMilliseconds is not negative, that long; the pass after it begins. With no periodic
    // task running, a wait lasts at most a minute.
    void wait(int longestMilliseconds = -1);
    // Milliseconds from the pass's time until the next periodic task is due (0 when one is due now);
    // -1 when there is none that runs.
    int millisecondsToNextTask();

    // The name of the wait's mechanism ("epoll", "poll", "events").
    const char* waitName() const { return waitSet_->name(); }

private:
    struct SocketTask {
        TaskId id;
        platform::WaitHandle handle;
        Interest interest;
        std::function<void(Readiness, Milliseconds)> onReady;
        Readiness ready;
        bool due = false;
        bool removed = false;
    };
    struct PeriodicTask {
        TaskId id;
        Milliseconds interval;
        Milliseconds due;
        std::function<void(Milliseconds)> run;
        bool removed = false;
        bool paused = false;
    };

    SocketTask* findSocket(TaskId id);
    PeriodicTask* findPeriodic(TaskId id);
    void watch(SocketTask& task);
    void dropRemoved();

    const platform::Clock& clock_;
    std::unique_ptr<platform::WaitSet> waitSet_;
    LoopWait waitReport_;
    // In registration order, which is the order of their ids; held by pointer, so a task may be
    // added while another one's callback runs.
    std::vector<std::unique_ptr<SocketTask>> sockets_;
    std::vector<std::unique_ptr<PeriodicTask>> periodic_;
    TaskId nextId_ = 1;
    std::optional<Milliseconds> passTime_;
    bool anyRemoved_ = false;
    // Nesting of the runs: removed tasks are dropped only outside them.
    int running_ = 0;
};

}  // namespace varn
