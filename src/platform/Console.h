#pragma once

#include "platform/Wait.h"

namespace varn::platform {

// Keys that produce no character (cursor, function and keypad keys) read as this base plus their
// second code, so that none of them matches a key the server acts on.
inline constexpr int kPrefixedKeyBase = 1000;
// A terminal's escape sequence (cursor, function, keypad and Alt keys) is one key of this code.
inline constexpr int kEscapeSequenceKey = kPrefixedKeyBase + 27;

// Single key presses on the console, without Enter and without echo. Keys are read only when
// standard input is a terminal (a console on Windows) and the process is in its foreground;
// Ctrl+C still stops the server (StopSignals).
class Console {
public:
    Console() = default;
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;
    ~Console();

    // Switches the terminal to single keys when standard input is one.
    void start();
    // Restores the terminal's settings; safe to call more than once.
    void restore();

    // Whether keys are read at all (a terminal, and no end of file or hang-up seen).
    bool readsKeys() const { return readsKeys_; }
    // The handle to include in the loop's readiness wait, or kNoWaitHandle when keys are not read
    // right now.
    WaitHandle waitHandle() const;
    // Whether a key may be waiting that the handle does not signal (read ahead, or kept by the C
    // runtime), so that the loop should look without waiting for the handle.
    bool keyBuffered() const;
    // A key is waiting (non-blocking).
    bool keyWaiting();
    // Reads one key code; 0 when none could be read.
    int readKey();
    // Blocks until one key is pressed (the early exits); returns at once when keys are not read.
    void waitForKey();

private:
    bool fillBuffer(bool block);
    bool inForeground() const;

    bool readsKeys_ = false;
    bool terminalChanged_ = false;
    unsigned char buffer_[32] = {};
    int bufferLength_ = 0;
    int bufferPosition_ = 0;
};

}  // namespace varn::platform
