#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <initializer_list>

#include "platform/Console.h"
#include "platform/SystemCalls.h"

namespace varn::platform {

namespace {

// Saved once; restored on every way out of the program, including a crash.
termios savedSettings{};
volatile sig_atomic_t settingsSaved = 0;

void restoreSavedSettings() {
    if (settingsSaved) tcsetattr(STDIN_FILENO, TCSANOW, &savedSettings);
}

void restoreAndReraise(int signalNumber) {
    restoreSavedSettings();
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

// A process in the background may still change the terminal's modes once SIGTTOU is ignored.
void setTerminal(const termios& settings) {
    struct sigaction ignore {}, previous{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGTTOU, &ignore, &previous);
    tcsetattr(STDIN_FILENO, TCSANOW, &settings);
    sigaction(SIGTTOU, &previous, nullptr);
}

}  // namespace

Console::~Console() { restore(); }

void Console::start() {
    if (!isatty(STDIN_FILENO)) return;
    readsKeys_ = true;
    if (tcgetattr(STDIN_FILENO, &savedSettings) != 0) return;
    settingsSaved = 1;
    static bool hooksInstalled = false;
    if (!hooksInstalled) {
        hooksInstalled = true;
        std::atexit(restoreSavedSettings);
        for (int fatal : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGQUIT}) signal(fatal, restoreAndReraise);
    }
    termios keys = savedSettings;
    keys.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));  // ISIG stays: Ctrl+C raises SIGINT
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    setTerminal(keys);
    terminalChanged_ = true;
}

void Console::restore() {
    if (terminalChanged_) {
        setTerminal(savedSettings);
        terminalChanged_ = false;
    }
}

bool Console::inForeground() const {
    systemCalls.other += 2;
    return tcgetpgrp(STDIN_FILENO) == getpgrp();
}

WaitHandle Console::waitHandle() const {
    if (!readsKeys_ || bufferPosition_ < bufferLength_ || !inForeground()) return kNoWaitHandle;
    return STDIN_FILENO;
}

bool Console::fillBuffer(bool block) {
    if (!readsKeys_) return false;
    if (bufferPosition_ < bufferLength_) return true;
    if (!inForeground()) return false;
    pollfd entry{STDIN_FILENO, POLLIN, 0};
    // A signal interrupts a blocking wait: the caller then goes on without a key.
    ++systemCalls.other;
    const int ready = poll(&entry, 1, block ? -1 : 0);
    if (ready <= 0) return false;
    if ((entry.revents & POLLIN) == 0) {
        if (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) readsKeys_ = false;
        return false;
    }
    ++systemCalls.other;
    const ssize_t got = read(STDIN_FILENO, buffer_, sizeof buffer_);
    if (got <= 0) {
        // End of file, EIO or a hang-up: the console is gone; the server keeps running.
        if (got == 0 || (errno != EINTR && errno != EAGAIN)) readsKeys_ = false;
        return false;
    }
    bufferLength_ = static_cast<int>(got);
    bufferPosition_ = 0;
    return true;
}

bool Console::keyBuffered() const { return bufferPosition_ < bufferLength_; }

bool Console::keyWaiting() { return fillBuffer(false); }

int Console::readKey() {
    if (!fillBuffer(false)) return 0;
    const int key = buffer_[bufferPosition_];
    if (key == 27) {
        // An escape and everything after it in the same read is one key: it matches nothing.
        bufferPosition_ = bufferLength_;
        return kEscapeSequenceKey;
    }
    ++bufferPosition_;
    return key;
}

void Console::waitForKey() {
    if (!fillBuffer(true)) return;
    int key = readKey();
    if (key == 0 && fillBuffer(true)) readKey();
}

}  // namespace varn::platform
