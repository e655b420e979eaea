#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/epoll.h>
#endif

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/SystemCalls.h"
#include "platform/Wait.h"

namespace varn::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

SteadyClock::time_point steadyNow() {
    ++systemCalls.clockReads;
    return SteadyClock::now();
}

int millisecondsUntil(SteadyClock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steadyNow()).count();
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
        steadyNow() + std::chrono::milliseconds(timeoutMilliseconds < 0 ? 0 : timeoutMilliseconds);
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
        ++systemCalls.waits;
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

namespace {

WaitResult failure(int error) {
    WaitResult result;
    result.failed = true;
    result.reason = std::strerror(error);
    return result;
}

// The plain mechanism: one pollfd per handle, kept between waits and changed only when the set is.
class PollWaitSet final : public WaitSet {
public:
    WaitResult add(WaitHandle handle, std::uint32_t key, bool write) override {
        if (handle < 0 || fcntl(handle, F_GETFD) < 0) return failure(EBADF);
        remove(handle);
        entries_.push_back(pollfd{handle, eventsFor(write), 0});
        keys_.push_back(key);
        return {};
    }

    WaitResult change(WaitHandle handle, std::uint32_t key, bool write) override {
        for (std::size_t index = 0; index < entries_.size(); ++index) {
            if (entries_[index].fd != handle) continue;
            entries_[index].events = eventsFor(write);
            keys_[index] = key;
            return {};
        }
        return add(handle, key, write);
    }

    void remove(WaitHandle handle) override {
        for (std::size_t index = 0; index < entries_.size(); ++index) {
            if (entries_[index].fd != handle) continue;
            entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
            keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(index));
            return;
        }
    }

    WaitResult wait(int timeoutMilliseconds) override {
        events_.clear();
        const int timeout = timeoutMilliseconds < 0 ? 0 : timeoutMilliseconds;
        ++systemCalls.waits;
        int ready = poll(entries_.data(), static_cast<nfds_t>(entries_.size()), timeout);
        if (ready == 0) {
            WaitResult result;
            result.timedOut = true;
            return result;
        }
        if (ready > 0 && !anyNotOpen()) {
            collect();
            return {};
        }
        // The rare ways: a handle closed while watched, or poll refused; waitForInput knows them.
        return slowWait(ready, timeout);
    }

    std::span<const WaitEvent> events() const override { return events_; }
    const char* name() const override { return "poll"; }

private:
    static short eventsFor(bool write) { return static_cast<short>(write ? POLLIN | POLLOUT : POLLIN); }

    bool anyNotOpen() const {
        for (const pollfd& entry : entries_) {
            if ((entry.revents & POLLNVAL) != 0) return true;
        }
        return false;
    }

    void collect() {
        for (std::size_t index = 0; index < entries_.size(); ++index) {
            const short found = entries_[index].revents;
            if (found == 0) continue;
            const bool broken = (found & (POLLHUP | POLLERR)) != 0;
            const bool write = (entries_[index].events & POLLOUT) != 0;
            events_.push_back(WaitEvent{keys_[index], (found & POLLIN) != 0 || broken,
                                        write && ((found & POLLOUT) != 0 || broken)});
        }
    }

    WaitResult slowWait(int ready, int timeout) {
        if (ready < 0) {
            if (errno == EINTR) return {};
            const int error = errno;
            const auto deadline = steadyNow() + std::chrono::milliseconds(timeout);
            sleepUntil(deadline);
            return failure(error);
        }
        // Handles that are not open stop being watched; what else was ready is reported.
        std::vector<pollfd> kept;
        std::vector<std::uint32_t> keptKeys;
        for (std::size_t index = 0; index < entries_.size(); ++index) {
            if ((entries_[index].revents & POLLNVAL) != 0) continue;
            kept.push_back(entries_[index]);
            keptKeys.push_back(keys_[index]);
        }
        entries_ = std::move(kept);
        keys_ = std::move(keptKeys);
        collect();
        WaitResult result = failure(EBADF);
        if (events_.empty() && timeout > 0) {
            // Only handles that were not open answered: the time-out is waited out on the others.
            const WaitResult rest = wait(timeout);
            result.timedOut = rest.timedOut;
        }
        return result;
    }

    std::vector<pollfd> entries_;
    std::vector<std::uint32_t> keys_;
    std::vector<WaitEvent> events_;
};

#if defined(__linux__)
// The kernel keeps the set: each handle is registered once, and a wait costs the same however many
// handles are watched. A handle closed while watched leaves the set by itself.
class EpollWaitSet final : public WaitSet {
public:
    EpollWaitSet() : fd_(epoll_create1(EPOLL_CLOEXEC)) {}
    ~EpollWaitSet() override {
        if (fd_ >= 0) close(fd_);
    }
    EpollWaitSet(const EpollWaitSet&) = delete;
    EpollWaitSet& operator=(const EpollWaitSet&) = delete;

    bool created() const { return fd_ >= 0; }

    WaitResult add(WaitHandle handle, std::uint32_t key, bool write) override {
        return control(EPOLL_CTL_ADD, handle, key, write);
    }

    WaitResult change(WaitHandle handle, std::uint32_t key, bool write) override {
        WaitResult result = control(EPOLL_CTL_MOD, handle, key, write);
        if (result.failed && result.reason == std::strerror(ENOENT)) result = add(handle, key, write);
        return result;
    }

    void remove(WaitHandle handle) override {
        if (handle < 0) return;
        epoll_event unused{};
        ++systemCalls.waitChanges;
        epoll_ctl(fd_, EPOLL_CTL_DEL, handle, &unused);
    }

    WaitResult wait(int timeoutMilliseconds) override {
        events_.clear();
        const int timeout = timeoutMilliseconds < 0 ? 0 : timeoutMilliseconds;
        ++systemCalls.waits;
        const int ready = epoll_wait(fd_, found_.data(), static_cast<int>(found_.size()), timeout);
        if (ready < 0) {
            if (errno == EINTR) return {};
            const int error = errno;
            sleepUntil(steadyNow() + std::chrono::milliseconds(timeout));
            return failure(error);
        }
        WaitResult result;
        result.timedOut = ready == 0;
        for (int index = 0; index < ready; ++index) {
            const epoll_event& event = found_[static_cast<std::size_t>(index)];
            const bool broken = (event.events & (EPOLLHUP | EPOLLERR)) != 0;
            const bool write = (event.data.u64 & kWriteInterest) != 0;
            events_.push_back(WaitEvent{static_cast<std::uint32_t>(event.data.u64),
                                        (event.events & EPOLLIN) != 0 || broken,
                                        write && ((event.events & EPOLLOUT) != 0 || broken)});
        }
        return result;
    }

    std::span<const WaitEvent> events() const override { return events_; }
    const char* name() const override { return "epoll"; }

private:
    // Kept beside the key in the event's data, so that a hang-up is reported as writable only to a
    // handle that asked to be told about writing.
    static constexpr std::uint64_t kWriteInterest = std::uint64_t{1} << 32;

    WaitResult control(int operation, WaitHandle handle, std::uint32_t key, bool write) {
        if (handle < 0) return failure(EBADF);
        epoll_event event{};
        event.events = write ? EPOLLIN | EPOLLOUT : EPOLLIN;
        event.data.u64 = key | (write ? kWriteInterest : 0);
        ++systemCalls.waitChanges;
        if (epoll_ctl(fd_, operation, handle, &event) != 0) return failure(errno);
        return {};
    }

    int fd_;
    std::array<epoll_event, 64> found_{};
    std::vector<WaitEvent> events_;
};
#endif

}  // namespace

std::unique_ptr<WaitSet> createWaitSet(WaitBackend backend) {
#if defined(__linux__)
    if (backend != WaitBackend::poll) {
        auto kernelSet = std::make_unique<EpollWaitSet>();
        if (kernelSet->created()) return kernelSet;
    }
#else
    (void)backend;
#endif
    return std::make_unique<PollWaitSet>();
}

}  // namespace varn::platform
