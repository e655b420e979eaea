#pragma once

#include <cstdint>

namespace varn::platform {

// How many system calls of each kind the platform layer has made, for measuring the main loop (what
// a pass costs the kernel) without a tracer, which would slow the process and change how much each
// pass holds. Plain integers: the server is one thread, and a count is one add.
struct SystemCallCounts {
    // Waits on the loop's handles (poll, epoll_wait) and changes of what a wait watches (epoll_ctl).
    std::uint64_t waits = 0;
    std::uint64_t waitChanges = 0;
    // Receive calls (recvmmsg, recvfrom), those of them that found nothing, and the datagrams they took.
    std::uint64_t receives = 0;
    std::uint64_t emptyReceives = 0;
    std::uint64_t datagramsReceived = 0;
    // Send calls (sendmmsg, sendto) and the datagrams they sent.
    std::uint64_t sends = 0;
    std::uint64_t datagramsSent = 0;
    // Reads of a clock (clock_gettime; most are answered without entering the kernel).
    std::uint64_t clockReads = 0;
    // Everything else on the loop's path: the console, the signals' pipe, waits for room to send.
    std::uint64_t other = 0;
};

inline SystemCallCounts systemCalls;

// When the environment variable VARN_SYSCALL_COUNTS names a file, appends the counts to it as one
// line of name=value pairs (the benchmark reads them), or says on standard error that it could not;
// otherwise does nothing.
void writeSystemCallCountsIfAsked();

}  // namespace varn::platform
