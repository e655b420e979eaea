#pragma once

#include <cstdint>
#include <functional>

#include "platform/Wait.h"

namespace varn {

// What a registered socket is watched for.
enum class Interest : std::uint8_t { Read, ReadWrite };

// What the wait found a registered socket ready for.
struct Readiness {
    bool readable = false;
    bool writable = false;
};

// How a feature hands the main loop its sockets and periodic work without editing the loop. The
// application owns the loop and passes this interface down; registration may happen at start-up or
// from inside a callback (a listener adding an accepted connection), and removal from inside the
// removed task's own callback is safe. Callbacks run on the loop's one thread, in registration order
// within a pass; the pass order of the built-in sockets and timers is unchanged.
class LoopTasks {
public:
    using TaskId = std::uint32_t;
    // The loop's time for the pass, in monotonic milliseconds.
    using Milliseconds = std::int64_t;

    virtual ~LoopTasks() = default;

    // A socket watched by the loop's wait; onReady runs in the pass after the wait reports it.
    virtual TaskId addSocket(platform::WaitHandle handle, Interest interest,
                             std::function<void(Readiness, Milliseconds now)> onReady) = 0;
    virtual void setInterest(TaskId socket, Interest interest) = 0;
    virtual void removeSocket(TaskId socket) = 0;

    // Work run every intervalMilliseconds (the first run one interval from now); the loop's wait
    // never sleeps past the next one that is due.
    virtual TaskId addPeriodic(Milliseconds intervalMilliseconds, std::function<void(Milliseconds now)> task) = 0;
    virtual void removePeriodic(TaskId task) = 0;
};

}  // namespace varn
