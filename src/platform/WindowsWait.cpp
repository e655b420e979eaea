#include <windows.h>

#include <algorithm>
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

}  // namespace varn::platform
