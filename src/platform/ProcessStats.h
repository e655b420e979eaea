#pragma once

#include <cstdint>
#include <optional>

namespace varn::platform {

// What the process has used so far, read when asked.
struct ProcessStats {
    // User and system time together.
    double cpuSeconds = 0;
    // Resident set size; none where it cannot be read.
    std::optional<std::uint64_t> residentBytes;
};

// Reads only this process's own entries (/proc/self), which a service confined to its own process
// folder can still see.
ProcessStats readProcessStats();

}  // namespace varn::platform
