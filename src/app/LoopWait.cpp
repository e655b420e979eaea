#include "app/LoopWait.h"

#include "log/ServerLog.h"

namespace varn {

void LoopWait::wait(std::span<const platform::WaitHandle> handles, int timeoutMilliseconds) {
    const platform::WaitResult result = platform::waitForInput(handles, timeoutMilliseconds);
    if (!result.failed || !reportedReasons_.insert(result.reason).second)
        return;
    auto& log = ServerLog::instance();
    log.write("SERVER-WARNING: Unable to wait for network and console input (", false);
    log.write(result.reason, false);
    log.write(").");
}

}  // namespace varn
