#include <windows.h>

#include <atomic>

#include "platform/Signals.h"

namespace varn::platform {

namespace {

// Windows ends the process a few seconds after the close event's handler was called, or as soon as
// it returns; the handler holds on for longer than that so the main thread can shut down in order.
constexpr DWORD kCloseHoldMilliseconds = 30'000;

std::atomic<bool> stopFlag{false};
HANDLE stopEvent = nullptr;

// Runs on a thread of its own that the system starts for each console control event.
BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            stopFlag = true;
            ::SetEvent(stopEvent);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            stopFlag = true;
            ::SetEvent(stopEvent);
            // The main thread's shut-down ends the process, and this thread with it.
            ::Sleep(kCloseHoldMilliseconds);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

// Without a terminal's hang-up there is nothing to choose: the console events always stop the server.
void StopSignals::install(bool) {
    if (stopEvent == nullptr) stopEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

bool StopSignals::stopRequested() { return stopFlag; }

bool StopSignals::takeReloadRequest() { return false; }

bool StopSignals::takeLogReopenRequest() { return false; }

WaitHandle StopSignals::waitHandle() {
    return stopEvent != nullptr ? reinterpret_cast<WaitHandle>(stopEvent) : kNoWaitHandle;
}

void StopSignals::drain() {
    if (stopEvent != nullptr) ::ResetEvent(stopEvent);
}

}  // namespace varn::platform
