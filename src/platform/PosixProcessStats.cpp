#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include "platform/ProcessStats.h"

namespace varn::platform {

namespace {

double secondsOf(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// The second number of /proc/self/statm is the resident set, in pages.
std::optional<std::uint64_t> residentBytes() {
    std::FILE* file = std::fopen("/proc/self/statm", "r");
    if (file == nullptr) return std::nullopt;
    unsigned long long size = 0;
    unsigned long long resident = 0;
    const int read = std::fscanf(file, "%llu %llu", &size, &resident);
    std::fclose(file);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (read != 2 || pageSize <= 0) return std::nullopt;
    return static_cast<std::uint64_t>(resident) * static_cast<std::uint64_t>(pageSize);
}

}  // namespace

ProcessStats readProcessStats() {
    ProcessStats stats;
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) == 0) stats.cpuSeconds = secondsOf(usage.ru_utime) + secondsOf(usage.ru_stime);
    stats.residentBytes = residentBytes();
    return stats;
}

}  // namespace varn::platform
