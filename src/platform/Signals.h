#pragma once

#include "platform/Wait.h"

namespace varn::platform {

// The signals the server acts on between passes of its loop. SIGINT, SIGTERM, and SIGHUP while
// standard input is a terminal (the terminal went away), end it in order. Otherwise SIGHUP asks for a
// reload (a service manager's reload), and SIGUSR1 for the log file to be reopened (log rotation).
// Each sets a flag and wakes the loop through a pipe; SIGPIPE is ignored.
// On Windows the console's Ctrl+C, Ctrl+Break and close events end the server in order, through a
// flag and an event; there is no reload and no log reopening there.
class StopSignals {
public:
    // Installs the handlers; hangUpStops tells whether SIGHUP stops the server or asks for a reload.
    static void install(bool hangUpStops);
    static bool stopRequested();
    // Whether a reload, or a reopening of the log, was asked for since the last call.
    static bool takeReloadRequest();
    static bool takeLogReopenRequest();
    // The read end of the wake-up pipe (the stop event on Windows), for the loop's readiness wait;
    // kNoWaitHandle before install.
    static WaitHandle waitHandle();
    // Empties the wake-up pipe (resets the event).
    static void drain();
};

}  // namespace varn::platform
