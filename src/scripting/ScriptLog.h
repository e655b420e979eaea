#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace varn {

namespace platform {
class Clock;
}

// The log lines of one script: "SCRIPT: <file>: " for what it writes, "SCRIPT-ERROR: <file>: " for
// its errors, every byte outside 0x20..0x7E shown as '?', so a script can forge no statistics or
// removal line. At most kLinesPerSecond lines a second; the rest are counted and reported in one
// line a minute.
class ScriptLog {
public:
    static constexpr std::int32_t kLinesPerSecond = 10;
    static constexpr std::size_t kMaxLineText = 400;

    ScriptLog(std::string file, const platform::Clock& clock) : file_(std::move(file)), clock_(clock) {}

    void write(std::string_view text) { writeLine("SCRIPT: ", text); }
    void error(std::string_view text) { writeLine("SCRIPT-ERROR: ", text); }
    // An error line that is never held back (that the script is switched off).
    void errorAlways(std::string_view text);
    // Writes the summary of the lines held back when a minute has passed since the first of them.
    void reportHeldBack();

    const std::string& file() const { return file_; }
    std::int64_t heldBack() const { return heldBack_; }

private:
    void writeLine(std::string_view prefix, std::string_view text);

    std::string file_;
    const platform::Clock& clock_;
    std::int64_t currentSecond_ = -1;
    std::int32_t linesThisSecond_ = 0;
    std::int64_t heldBack_ = 0;
    std::int64_t firstHeldBackSecond_ = 0;
};

}  // namespace varn
