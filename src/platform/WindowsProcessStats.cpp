#include <windows.h>
#include <psapi.h>

#include "platform/ProcessStats.h"

namespace varn::platform {

namespace {

// FILETIME counts 100-nanosecond ticks.
double secondsOf(const FILETIME& time) {
    const ULONGLONG ticks = (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<double>(ticks) / 1e7;
}

}  // namespace

// The process's own times and working set (the resident memory of Windows).
ProcessStats readProcessStats() {
    ProcessStats stats;
    const HANDLE self = ::GetCurrentProcess();
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (::GetProcessTimes(self, &created, &exited, &kernel, &user)) stats.cpuSeconds = secondsOf(kernel) + secondsOf(user);
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    if (::K32GetProcessMemoryInfo(self, &memory, sizeof memory)) stats.residentBytes = memory.WorkingSetSize;
    return stats;
}

}  // namespace varn::platform
