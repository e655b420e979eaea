#include <poll.h>
#include <time.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/Wait.h"

namespace varn::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

int millisecondsUntil(SteadyClock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Sleeps until the deadline; a signal ends the sleep early, as it ends a wait.
void sleepUntil(SteadyClock::time_point deadline) {
    const int left = millisecondsUntil(deadline);
    timespec duration{left / 1000, static_cast<long>(left % 1000) * 1'000'000L};
    nanosleep(&duration, nullptr);
}

// Handles that are not open stop being watched (poll ignores negative descriptors); true when there
// were any.
bool dropHandlesNotOpen(std::span<pollfd> entries, int& ready) {
    bool dropped = false;
    for (pollfd& entry : entries) {
        if ((entry.revents & POLLNVAL) == 0)
            continue;
        entry.fd = -1;
        entry.revents = 0;
        --ready;
        dropped = true;
    }
    return dropped;
}

}  // namespace

WaitResult waitForInput(std::span<const WaitHandle> handles, int timeoutMilliseconds) {
    const auto deadline =
        SteadyClock::now() + std::chrono::milliseconds(timeoutMilliseconds < 0 ? 0 : timeoutMilliseconds);
    // The loop watches a handful of handles; a larger set gets room of its own rather than a cut.
    std::array<pollfd, 16> fixedEntries{};
    std::vector<pollfd> largerEntries;
    std::span<pollfd> entries(fixedEntries);
    if (handles.size() > fixedEntries.size()) {
        largerEntries.resize(handles.size());
        entries = largerEntries;
    }
    std::size_t count = 0;
    for (WaitHandle handle : handles) {
        if (handle >= 0)
            entries[count++] = pollfd{handle, POLLIN, 0};
    }
    entries = entries.first(count);

    WaitResult result;
    while (true) {
        int ready = poll(entries.data(), static_cast<nfds_t>(entries.size()), millisecondsUntil(deadline));
        if (ready < 0) {
            if (errno == EINTR)
                return result;
            result.failed = true;
            result.reason = std::strerror(errno);
            sleepUntil(deadline);
            return result;
        }
        if (dropHandlesNotOpen(entries, ready)) {
            result.failed = true;
            result.reason = std::strerror(EBADF);
            // Only handles that are not open answered: go on waiting on the others.
            if (ready == 0 && millisecondsUntil(deadline) > 0)
                continue;
        }
        return result;
    }
}

}  // namespace varn::platform
