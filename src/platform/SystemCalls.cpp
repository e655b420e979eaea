#include "platform/SystemCalls.h"

#include <cstdio>
#include <cstdlib>

namespace varn::platform {

void writeSystemCallCountsIfAsked() {
    const char* path = std::getenv("VARN_SYSCALL_COUNTS");
    if (path == nullptr || *path == '\0') return;
    std::FILE* file = std::fopen(path, "a");
    if (file == nullptr) {
        std::fprintf(stderr, "varnserver: the system-call counts could not be written to %s\n", path);
        return;
    }
    const SystemCallCounts& counts = systemCalls;
    const int written = std::fprintf(file,
                 "waits=%llu wait_changes=%llu receives=%llu empty_receives=%llu datagrams_received=%llu "
                 "sends=%llu datagrams_sent=%llu clock_reads=%llu other=%llu\n",
                 static_cast<unsigned long long>(counts.waits), static_cast<unsigned long long>(counts.waitChanges),
                 static_cast<unsigned long long>(counts.receives),
                 static_cast<unsigned long long>(counts.emptyReceives),
                 static_cast<unsigned long long>(counts.datagramsReceived),
                 static_cast<unsigned long long>(counts.sends), static_cast<unsigned long long>(counts.datagramsSent),
                 static_cast<unsigned long long>(counts.clockReads), static_cast<unsigned long long>(counts.other));
    if (std::fclose(file) != 0 || written < 0) {
        std::fprintf(stderr, "varnserver: the system-call counts could not be written to %s\n", path);
    }
}

}  // namespace varn::platform
