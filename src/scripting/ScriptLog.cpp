#include "scripting/ScriptLog.h"

#include "log/ServerLog.h"
#include "platform/Clock.h"

namespace varn {

namespace {
constexpr std::int64_t kSummarySeconds = 60;
}

void ScriptLog::writeLine(std::string_view prefix, std::string_view text) {
    const std::int64_t now = clock_.monotonicSeconds();
    if (now != currentSecond_) {
        currentSecond_ = now;
        linesThisSecond_ = 0;
    }
    reportHeldBack();
    if (linesThisSecond_ >= kLinesPerSecond) {
        if (heldBack_ == 0) firstHeldBackSecond_ = now;
        ++heldBack_;
        return;
    }
    ++linesThisSecond_;
    const bool cut = text.size() > kMaxLineText;
    ServerLog::instance().line(prefix, printableForLog(file_), ": ", printableForLog(text.substr(0, kMaxLineText)),
                               cut ? "..." : "");
}

void ScriptLog::errorAlways(std::string_view text) {
    ServerLog::instance().line("SCRIPT-ERROR: ", printableForLog(file_), ": ", printableForLog(text.substr(0, kMaxLineText)),
                               text.size() > kMaxLineText ? "..." : "");
}

void ScriptLog::reportHeldBack() {
    if (heldBack_ == 0 || clock_.monotonicSeconds() - firstHeldBackSecond_ < kSummarySeconds) return;
    ServerLog::instance().line("SCRIPT-ERROR: ", printableForLog(file_), ": ", heldBack_,
                               " log lines held back in the last minute (at most ", kLinesPerSecond,
                               " lines a second).");
    heldBack_ = 0;
}

}  // namespace varn
