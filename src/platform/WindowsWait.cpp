#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/Wait.h"

namespace varn::platform {

namespace {

// A set larger than one kernel wait can take is looked at in turns: every group without waiting,
// then the first group for at most this long.
constexpr DWORD kGroupSliceMilliseconds = 10;

DWORD millisecondsUntil(ULONGLONG deadline) {
    const ULONGLONG now = ::GetTickCount64();
    return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
}

std::string systemErrorText(DWORD code) {
    char text[256] = {};
    const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                          code, 0, text, sizeof text, nullptr);
    std::string reason(text, length);
    while (!reason.empty() &&
           (reason.back() == '\r' || reason.back() == '\n' || reason.back() == ' ' || reason.back() == '.')) {
        reason.pop_back();
    }
    return reason.empty() ? "error " + std::to_string(code) : reason;
}

DWORD waitOnGroup(const std::vector<HANDLE>& objects, std::size_t first, DWORD milliseconds) {
    const std::size_t count = std::min<std::size_t>(objects.size() - first, MAXIMUM_WAIT_OBJECTS);
    return ::WaitForMultipleObjects(static_cast<DWORD>(count), objects.data() + first, FALSE, milliseconds);
}

// WAIT_FAILED, WAIT_TIMEOUT, or another value when some object is signalled.
DWORD waitOnAll(const std::vector<HANDLE>& objects, DWORD milliseconds) {
    if (objects.size() <= MAXIMUM_WAIT_OBJECTS)
        return waitOnGroup(objects, 0, milliseconds);
    const ULONGLONG deadline = ::GetTickCount64() + milliseconds;
    while (true) {
        for (std::size_t first = 0; first < objects.size(); first += MAXIMUM_WAIT_OBJECTS) {
            const DWORD outcome = waitOnGroup(objects, first, 0);
            if (outcome != WAIT_TIMEOUT)
                return outcome;
        }
        const DWORD left = millisecondsUntil(deadline);
        if (left == 0)
            return WAIT_TIMEOUT;
        const DWORD outcome = waitOnGroup(objects, 0, std::min(left, kGroupSliceMilliseconds));
        if (outcome != WAIT_TIMEOUT)
            return outcome;
    }
}

// Handles that are not open stop being watched; true when there were any.
bool dropHandlesNotOpen(std::vector<HANDLE>& objects) {
    return std::erase_if(objects,
                         [](HANDLE object) { return ::WaitForSingleObject(object, 0) == WAIT_FAILED; }) > 0;
}

}  // namespace

// Every handle is a waitable object: a socket's read event, the console input (signalled while input
// records wait) or the stop event, so one WaitForMultipleObjects covers them all, up to the 64 it can
// take at once; a larger set is watched in groups.
WaitResult waitForInput(std::span<const WaitHandle> handles, int timeoutMilliseconds) {
    const ULONGLONG deadline =
        ::GetTickCount64() + static_cast<ULONGLONG>(timeoutMilliseconds < 0 ? 0 : timeoutMilliseconds);
    std::vector<HANDLE> objects;
    objects.reserve(handles.size());
    for (WaitHandle handle : handles) {
        if (handle != kNoWaitHandle && handle != 0)
            objects.push_back(reinterpret_cast<HANDLE>(handle));
    }
    WaitResult result;
    while (true) {
        if (objects.empty()) {
            ::Sleep(millisecondsUntil(deadline));
            return result;
        }
        if (waitOnAll(objects, millisecondsUntil(deadline)) != WAIT_FAILED)
            return result;
        result.failed = true;
        result.reason = systemErrorText(::GetLastError());
        if (!dropHandlesNotOpen(objects)) {
            ::Sleep(millisecondsUntil(deadline));
            return result;
        }
    }
}

namespace {

// Every handle is an event object (or the console input), as for waitForInput: one kernel wait on
// all of them, then a look at each to tell which are signalled. An object cannot say "writable":
// a handle that asked to be told about writing is reported writable whenever it is signalled, and
// its own non-blocking write finds out.
class EventWaitSet final : public WaitSet {
public:
    WaitResult add(WaitHandle handle, std::uint32_t key, bool write) override {
        if (handle == kNoWaitHandle || handle == 0 ||
            ::WaitForSingleObject(reinterpret_cast<HANDLE>(handle), 0) == WAIT_FAILED) {
            WaitResult result;
            result.failed = true;
            result.reason = systemErrorText(handle == kNoWaitHandle || handle == 0 ? ERROR_INVALID_HANDLE
                                                                                   : ::GetLastError());
            return result;
        }
        remove(handle);
        entries_.push_back(Entry{reinterpret_cast<HANDLE>(handle), key, write});
        objects_.push_back(reinterpret_cast<HANDLE>(handle));
        return {};
    }

    WaitResult change(WaitHandle handle, std::uint32_t key, bool write) override {
        for (Entry& entry : entries_) {
            if (entry.object != reinterpret_cast<HANDLE>(handle)) continue;
            entry.key = key;
            entry.write = write;
            return {};
        }
        return add(handle, key, write);
    }

    void remove(WaitHandle handle) override {
        const HANDLE object = reinterpret_cast<HANDLE>(handle);
        std::erase_if(entries_, [object](const Entry& entry) { return entry.object == object; });
        std::erase(objects_, object);
    }

    WaitResult wait(int timeoutMilliseconds) override {
        events_.clear();
        const ULONGLONG deadline =
            ::GetTickCount64() + static_cast<ULONGLONG>(timeoutMilliseconds < 0 ? 0 : timeoutMilliseconds);
        WaitResult result;
        while (true) {
            if (objects_.empty()) {
                ::Sleep(millisecondsUntil(deadline));
                result.timedOut = !result.failed;
                return result;
            }
            const DWORD outcome = waitOnAll(objects_, millisecondsUntil(deadline));
            if (outcome == WAIT_TIMEOUT) {
                result.timedOut = !result.failed;
                return result;
            }
            if (outcome != WAIT_FAILED) {
                collect();
                return result;
            }
            result.failed = true;
            result.reason = systemErrorText(::GetLastError());
            const std::size_t before = objects_.size();
            dropHandlesNotOpen(objects_);
            std::erase_if(entries_, [this](const Entry& entry) {
                return std::find(objects_.begin(), objects_.end(), entry.object) == objects_.end();
            });
            if (objects_.size() == before) {
                ::Sleep(millisecondsUntil(deadline));
                return result;
            }
        }
    }

    std::span<const WaitEvent> events() const override { return events_; }
    const char* name() const override { return "events"; }

private:
    struct Entry {
        HANDLE object;
        std::uint32_t key;
        bool write;
    };

    void collect() {
        for (const Entry& entry : entries_) {
            if (::WaitForSingleObject(entry.object, 0) != WAIT_OBJECT_0) continue;
            events_.push_back(WaitEvent{entry.key, true, entry.write});
        }
    }

    std::vector<Entry> entries_;
    std::vector<HANDLE> objects_;
    std::vector<WaitEvent> events_;
};

}  // namespace

std::unique_ptr<WaitSet> createWaitSet(WaitBackend) { return std::make_unique<EventWaitSet>(); }

}  // namespace varn::platform
