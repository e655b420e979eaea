#pragma once

#include <span>

namespace varn::platform {

// Waits in the kernel until one of the handles is readable (or hung up) or the time-out in
// milliseconds has passed. Handles of -1 are skipped. Returns at once when a signal arrives.
void waitForInput(std::span<const int> handles, int timeoutMilliseconds);

}  // namespace varn::platform
