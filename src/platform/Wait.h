#pragma once

#include <cstdint>
#include <memory>
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
    // The wait ran its whole time-out and found nothing: the time is its deadline, without a look
    // at the clock. False when it was woken (input, a signal) or failed.
    bool timedOut = false;
};

// Waits in the kernel until one of the handles is readable (or hung up) or the time-out in
// milliseconds has passed. Handles of kNoWaitHandle are skipped; there is no limit on how many are
// watched. Returns at once when a stop request (a signal, or a console control event on Windows)
// arrives. A handle that is not open is reported as a failure and no longer watched by this wait.
WaitResult waitForInput(std::span<const WaitHandle> handles, int timeoutMilliseconds);

// What a wait found one watched handle ready for, under the key it was watched with.
struct WaitEvent {
    std::uint32_t key = 0;
    bool readable = false;
    bool writable = false;
};

// The kernel mechanism behind a WaitSet. `automatic` takes the cheapest one the system offers and
// falls back to `poll` when it is refused; Windows has one mechanism (its event objects) whatever is
// asked.
enum class WaitBackend : std::uint8_t { automatic, poll, epoll };

// A set of handles watched across many waits: each is registered once, for input and, when asked,
// for room to write, and every wait reports which of them are ready. A handle is readable when input
// waits or it was hung up or failed (the read then says which), writable when a write would not
// block (or would fail at once). A stop request ends a wait as waitForInput's does.
class WaitSet {
public:
    virtual ~WaitSet() = default;

    // Watches the handle, reporting it under key. False when the system refuses it (a handle that is
    // not open): the reason is in the result, and the handle is not watched.
    virtual WaitResult add(WaitHandle handle, std::uint32_t key, bool write) = 0;
    // Changes whether the handle is watched for room to write.
    virtual WaitResult change(WaitHandle handle, std::uint32_t key, bool write) = 0;
    // Stops watching the handle; a handle never added, or already closed, is no fault.
    virtual void remove(WaitHandle handle) = 0;
    // Waits until a watched handle is ready or the time-out in milliseconds has passed; the ready
    // handles are in events() until the next wait. A failure is reported as waitForInput reports it,
    // and the wait still lasts its time-out (a handle that is not open is no longer watched).
    virtual WaitResult wait(int timeoutMilliseconds) = 0;
    virtual std::span<const WaitEvent> events() const = 0;
    // The mechanism's name, for the start-up diagnostics: "epoll", "poll" or "events".
    virtual const char* name() const = 0;
};

std::unique_ptr<WaitSet> createWaitSet(WaitBackend backend = WaitBackend::automatic);

}  // namespace varn::platform
