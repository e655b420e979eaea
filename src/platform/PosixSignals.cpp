#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/Signals.h"
#include "platform/SystemCalls.h"

namespace varn::platform {

namespace {

// Atomic: the scripts' watchdog thread reads it too. Lock-free, so a handler may set it.
std::atomic<int> stopFlag{0};
static_assert(std::atomic<int>::is_always_lock_free);
volatile sig_atomic_t reloadFlag = 0;
volatile sig_atomic_t logReopenFlag = 0;
// Set after each byte written to the wake pipe, so that a pass with no signal reads nothing from it.
volatile sig_atomic_t wakeWritten = 0;
int wakePipe[2] = {-1, -1};

void wakeLoop() {
    if (wakePipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = write(wakePipe[1], &byte, 1);
        // After the write: a byte in the pipe always has the flag set after it.
        wakeWritten = 1;
    }
}

void onStopSignal(int) {
    const int savedErrno = errno;
    stopFlag = 1;
    wakeLoop();
    errno = savedErrno;
}

void onReloadSignal(int) {
    const int savedErrno = errno;
    reloadFlag = 1;
    wakeLoop();
    errno = savedErrno;
}

void onLogReopenSignal(int) {
    const int savedErrno = errno;
    logReopenFlag = 1;
    wakeLoop();
    errno = savedErrno;
}

void handle(int signalNumber, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocking key wait returns on Ctrl+C
    sigaction(signalNumber, &action, nullptr);
}

}  // namespace

void StopSignals::install(bool hangUpStops) {
    if (wakePipe[0] < 0 && pipe(wakePipe) == 0) {
        for (int fd : wakePipe) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    handle(SIGINT, onStopSignal);
    handle(SIGTERM, onStopSignal);
    handle(SIGHUP, hangUpStops ? onStopSignal : onReloadSignal);
    handle(SIGUSR1, onLogReopenSignal);
    handle(SIGPIPE, SIG_IGN);
}

bool StopSignals::stopRequested() { return stopFlag.load() != 0; }

bool StopSignals::takeReloadRequest() {
    const bool requested = reloadFlag != 0;
    reloadFlag = 0;
    return requested;
}

bool StopSignals::takeLogReopenRequest() {
    const bool requested = logReopenFlag != 0;
    logReopenFlag = 0;
    return requested;
}

WaitHandle StopSignals::waitHandle() { return wakePipe[0]; }

void StopSignals::drain() {
    if (wakePipe[0] < 0 || wakeWritten == 0) return;
    // Cleared before the read: a signal after this point sets it again for the next drain.
    wakeWritten = 0;
    char bytes[64];
    do {
        ++systemCalls.other;
    } while (read(wakePipe[0], bytes, sizeof bytes) > 0);
}

}  // namespace varn::platform
