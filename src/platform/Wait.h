#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace varn::platform {

#if defined(_WIN32)
// The handle of a waitable object: a socket's read event, the console input, the stop event.
using WaitHandle = std::intptr_t;
#else
// A file descriptor.
using WaitHandle = int;
#endif

// Stands for "nothing to watch" wherever a handle is asked for.
inline constexpr WaitHandle kNoWaitHandle = -1;

// What a wait came to. A wait that failed says why, in the operating system's words; it has still
// waited out its time-out (or until input on the handles it could still watch), so a caller that
// waits again at once never spins on a failure.
struct WaitResult {
    bool failed = false;
    std::string reason;
};

// Waits in the kernel until one of the handles is readable (or hung up) or the time-out in
// milliseconds has passed. Handles of kNoWaitHandle are skipped; there is no limit on how many are
// watched. Returns at once when a stop request (a signal, or a console control event on Windows)
// arrives. A handle that is not open is reported as a failure and no longer watched by this wait.
WaitResult waitForInput(std::span<const WaitHandle> handles, int timeoutMilliseconds);

}  // namespace varn::platform
