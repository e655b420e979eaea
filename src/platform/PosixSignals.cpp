#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Signals.h"

namespace varn::platform {

namespace {

volatile sig_atomic_t stopFlag = 0;
int wakePipe[2] = {-1, -1};

void onStopSignal(int) {
    const int savedErrno = errno;
    stopFlag = 1;
    if (wakePipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = write(wakePipe[1], &byte, 1);
    }
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
    handle(SIGHUP, hangUpStops ? onStopSignal : SIG_IGN);
    handle(SIGPIPE, SIG_IGN);
}

bool StopSignals::stopRequested() { return stopFlag != 0; }

int StopSignals::waitHandle() { return wakePipe[0]; }

void StopSignals::drain() {
    if (wakePipe[0] < 0) return;
    char bytes[64];
    while (read(wakePipe[0], bytes, sizeof bytes) > 0) {
    }
}

}  // namespace varn::platform
