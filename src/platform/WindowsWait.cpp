#include <windows.h>

#include <array>

#include "platform/Wait.h"

namespace varn::platform {

// Every handle is a waitable object: a socket's read event, the console input (signalled while input
// records wait) or the stop event, so one WaitForMultipleObjects covers them all.
void waitForInput(std::span<const WaitHandle> handles, int timeoutMilliseconds) {
    std::array<HANDLE, MAXIMUM_WAIT_OBJECTS> objects{};
    DWORD count = 0;
    for (WaitHandle handle : handles) {
        if (handle == kNoWaitHandle || handle == 0 || count == objects.size()) continue;
        objects[count++] = reinterpret_cast<HANDLE>(handle);
    }
    const DWORD timeout = timeoutMilliseconds < 0 ? 0 : static_cast<DWORD>(timeoutMilliseconds);
    if (count == 0) {
        ::Sleep(timeout);
        return;
    }
    ::WaitForMultipleObjects(count, objects.data(), FALSE, timeout);
}

}  // namespace varn::platform
