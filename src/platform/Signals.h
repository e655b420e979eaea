#pragma once

namespace varn::platform {

// The signals that end the server in order (SIGINT, SIGTERM, and SIGHUP while standard input is a
// terminal) set a flag and wake the loop through a pipe; SIGPIPE is ignored.
class StopSignals {
public:
    // Installs the handlers; hangUpStops tells whether SIGHUP stops the server.
    static void install(bool hangUpStops);
    static bool stopRequested();
    // The read end of the wake-up pipe, for the loop's readiness wait; -1 before install.
    static int waitHandle();
    // Empties the wake-up pipe.
    static void drain();
};

}  // namespace varn::platform
