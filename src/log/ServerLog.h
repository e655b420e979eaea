#pragma once

#include <charconv>
#include <concepts>
#include <fstream>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

namespace varn {

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
    // rotation has renamed the old file); false when no file was open or it cannot be reopened.
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

private:
    bool quiet_ = false;
    std::ofstream file_;
    std::string path_;
    std::ostream* console_;
};

}  // namespace varn
