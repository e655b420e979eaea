#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <fstream>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

namespace varn {

namespace platform {
class Clock;
}

// A text received from the network, as the log and the console show it: every byte outside 0x20..0x7E
// becomes '?', so a sender can neither forge a line of its own nor send control sequences to the
// operator's terminal. What goes on the wire is not touched.
std::string printableForLog(std::string_view received);

// The log's time stamp of a calendar reading: "2026-12-10T12:00:00.123Z" (UTC, milliseconds).
std::string utcTimestamp(std::int64_t calendarMilliseconds);

// The one writer for the log file and the console. A message is written as pieces; each piece says
// whether it ends the line and whether it also goes to the console. Nothing is added to a message.
class ServerLog {
public:
    ServerLog();
    ~ServerLog();
    ServerLog(const ServerLog&) = delete;
    ServerLog& operator=(const ServerLog&) = delete;

    static ServerLog& instance();
    // Ends the process-wide log: its closing marker is written and the file closed.
    static void destroyInstance();

    void setQuiet(bool quiet) { quiet_ = quiet; }
    bool isQuiet() const { return quiet_; }
    bool open(const std::string& path);
    // Closes the file with its marker and opens the same path again for appending (after log
    // rotation has renamed the old file). When that fails, one line naming the path and the reason
    // goes to standard error and the console carries on alone; every later reopen tries again. False
    // when no file was ever opened or it cannot be reopened.
    bool reopen();
    void close();
    bool isOpen() const { return file_.is_open(); }

    void write(std::string_view text, bool endLine = true, bool echo = true);
    void write(const char* text, bool endLine = true, bool echo = true) {
        write(std::string_view(text != nullptr ? text : ""), endLine, echo);
    }
    void write(const std::string& text, bool endLine = true, bool echo = true) {
        write(std::string_view(text), endLine, echo);
    }
    template <std::integral Number>
        requires(!std::same_as<Number, bool> && !std::same_as<Number, char>)
    void write(Number value, bool endLine = true, bool echo = true) {
        char digits[24];
        const auto result = std::to_chars(digits, digits + sizeof digits, value);
        write(std::string_view(digits, static_cast<std::size_t>(result.ptr - digits)), endLine, echo);
    }

    // Where console output goes; standard output unless a test captures it.
    void setConsole(std::ostream* console) { console_ = console; }
    // Where a failed reopen is reported; standard error unless a test captures it.
    void setErrorStream(std::ostream* errors) { errors_ = errors; }
    // With a clock, every line of the file begins with the calendar time it was started at, in UTC,
    // and a space; the console is never stamped. Null switches the stamps off.
    void setTimestampClock(const platform::Clock* clock) { timestampClock_ = clock; }

private:
    void writeToFile(std::string_view text, bool endLine);
    void closeFile();

    bool quiet_ = false;
    std::ofstream file_;
    // The path of the file once one has been opened; a reopen goes back to it.
    std::string path_;
    bool fileAtLineStart_ = true;
    std::ostream* console_;
    std::ostream* errors_;
    const platform::Clock* timestampClock_ = nullptr;
};

}  // namespace varn
