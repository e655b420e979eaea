#pragma once

#include <sys/types.h>

#include <cstdint>

namespace varn::bench {

// What the kernel says about the measured server at one moment.
struct ProcessSample {
    bool valid = false;
    // User plus system time from /proc/<pid>/stat, in seconds (clock-tick resolution).
    double statCpuSeconds = 0;
    // The same from the process's CPU-time clock, in nanoseconds (0 when that clock cannot be read).
    std::uint64_t cpuNanoseconds = 0;
    bool cpuNanosecondsValid = false;
    // VmHWM (peak resident set) and VmRSS from /proc/<pid>/status, in KiB.
    long peakResidentKb = -1;
    long residentKb = -1;
    // Times the process gave up the CPU (to wait) and had it taken away.
    long voluntarySwitches = 0;
    long involuntarySwitches = 0;
};

ProcessSample sampleProcess(pid_t pid);

// Datagrams the kernel dropped on UDP sockets bound to this local port (the last column of
// /proc/net/udp), summed; -1 when the table cannot be read.
long udpSocketDrops(std::uint16_t localPort);

}  // namespace varn::bench
