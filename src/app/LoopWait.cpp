#include "app/LoopWait.h"

#include "log/ServerLog.h"

namespace varn {

void LoopWait::wait(std::span<const platform::WaitHandle> handles, int timeoutMilliseconds) {
    report(platform::waitForInput(handles, timeoutMilliseconds));
}

void LoopWait::report(const platform::WaitResult& result) {
    if (!result.failed || !reportedReasons_.insert(result.reason).second)
        return;
    auto& log = ServerLog::instance();
    log.line("SERVER-WARNING: Unable to wait for network and console input (", result.reason, ").");
}

}  // namespace varn
