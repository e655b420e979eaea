#pragma once

#include <cstdint>
#include <span>

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

// Waits in the kernel until one of the handles is readable (or hung up) or the time-out in
// milliseconds has passed. Handles of kNoWaitHandle are skipped. Returns at once when a stop
// request (a signal, or a console control event on Windows) arrives.
void waitForInput(std::span<const WaitHandle> handles, int timeoutMilliseconds);

}  // namespace varn::platform
