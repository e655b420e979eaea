#pragma once

#include <set>
#include <span>
#include <string>

#include "platform/Wait.h"

namespace varn {

// The main loop's wait between two passes. A wait that fails has still waited out its time, so the
// loop never spins; the failure is logged once for each reason the system gives, however often the
// wait fails again.
class LoopWait {
public:
    void wait(std::span<const platform::WaitHandle> handles, int timeoutMilliseconds);
    // Logs a failed wait, or a handle the wait refused, once for each reason.
    void report(const platform::WaitResult& result);

private:
    std::set<std::string, std::less<>> reportedReasons_;
};

}  // namespace varn
