#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <optional>
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

// The integers a log line may carry: every signed and unsigned width up to 64 bits, but not bool and
// not the character types.
template <typename T>
concept LogNumber = std::integral<T> && sizeof(T) <= sizeof(std::uint64_t) && !std::same_as<T, bool> &&
                    !std::same_as<T, char> && !std::same_as<T, wchar_t> && !std::same_as<T, char8_t> &&
                    !std::same_as<T, char16_t> && !std::same_as<T, char32_t>;

// The one writer for the log file and the console. Each call writes one whole line, given as pieces
// that are written one after another; nothing is added but the line end.
class ServerLog {
public:
    // One piece of a line: a text, or an integer written in decimal ("-" when negative, no padding).
    // A bool or a char is no piece: whether it means a number or a letter is the caller's to say.
    // A piece refers to the caller's text, so it lives only as long as the call that writes it.
    class Piece {
    public:
        Piece(std::string_view text) : text_(text) {}
        Piece(const char* text) : text_(text != nullptr ? text : "") {}
        Piece(const std::string& text) : text_(text) {}
        template <LogNumber Number>
        Piece(Number value) {
            const auto result = std::to_chars(digits_, digits_ + sizeof digits_, value);
            digitCount_ = static_cast<std::uint8_t>(result.ptr - digits_);
        }
        Piece(bool) = delete;
        Piece(char) = delete;

        std::string_view text() const {
            return digitCount_ != 0 ? std::string_view(digits_, digitCount_) : text_;
        }

    private:
        std::string_view text_;
        char digits_[20];  // the longest 64-bit number: "-9223372036854775808"
        std::uint8_t digitCount_ = 0;
    };

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
    // After an open that failed: the path and the operating system's reason ("x.log: Permission
    // denied"); empty once an open has worked.
    const std::string& openFailure() const { return openFailure_; }
    // Closes the file with its marker and opens the same path again for appending (after log
    // rotation has renamed the old file). When that fails, one line naming the path and the reason
    // goes to standard error and the console carries on alone; every later reopen tries again. False
    // when no file was ever opened or it cannot be reopened.
    bool reopen();
    void close();
    bool isOpen() const { return file_.is_open(); }

    // Writes one line to the file and, unless quiet, to the console:
    //     log.line("JOIN: '", name, "', PlayerID = ", id, " (", ip.view(), ")");
    template <typename... Pieces>
        requires(sizeof...(Pieces) > 0 && (std::convertible_to<const Pieces&, Piece> && ...))
    void line(const Pieces&... pieces) {
        writeLine({pieces...}, Sinks::fileAndConsole);
    }
    // Writes one line to the file only, never to the console (the statistics lines).
    template <typename... Pieces>
        requires(sizeof...(Pieces) > 0 && (std::convertible_to<const Pieces&, Piece> && ...))
    void fileOnly(const Pieces&... pieces) {
        writeLine({pieces...}, Sinks::fileOnly);
    }

    // Writes one line to standard error only, never to the log file or the console: the start-up's
    // warnings and the reasons that follow an error line. Quiet mode does not silence it.
    template <typename... Pieces>
        requires(sizeof...(Pieces) > 0 && (std::convertible_to<const Pieces&, Piece> && ...))
    void diagnostic(const Pieces&... pieces) {
        writeDiagnostic({pieces...});
    }

    // Where console output goes; standard output unless a test captures it.
    void setConsole(std::ostream* console) { console_ = console; }
    // Where a failed reopen and the diagnostics go; standard error unless a test captures it.
    void setErrorStream(std::ostream* errors) { errors_ = errors; }
    // With a clock, every line of the file begins with the calendar time it was started at, in UTC,
    // and a space; the console is never stamped. Null switches the stamps off.
    void setTimestampClock(const platform::Clock* clock) { timestampClock_ = clock; }
    // The clock that spaces the reports of failed writes (monotonic seconds); the system's unless a
    // test moves its own.
    void setReportClock(const platform::Clock* clock) { reportClock_ = clock; }

    // Lines the file did not take whole (a full disk, an I/O error) since the log was made. The
    // first failure, and then one a minute at most, is reported on standard error with the path and
    // the reason; the console goes on; the first line the file takes again is reported too.
    std::uint64_t writeFailures() const { return writeFailures_; }

private:
    void writeToFile(std::string_view text);
    void closeFile();
    enum class Sinks { fileAndConsole, fileOnly };
    void writeLine(std::initializer_list<Piece> pieces, Sinks sinks);
    void writeDiagnostic(std::initializer_list<Piece> pieces);
    void writePiecesToFile(std::initializer_list<Piece> pieces);
    void noteWriteResult(bool written, int reason);

    bool quiet_ = false;
    std::ofstream file_;
    // The path of the file once one has been opened; a reopen goes back to it.
    std::string path_;
    std::string openFailure_;
    std::ostream* console_;
    std::ostream* errors_;
    const platform::Clock* timestampClock_ = nullptr;
    const platform::Clock* reportClock_;
    std::uint64_t writeFailures_ = 0;
    bool writeFailing_ = false;
    // Monotonic seconds of the last report of a failed write; none yet.
    std::optional<std::int64_t> lastFailureReport_;
};

}  // namespace varn
