#include "access/BanFile.h"

#include <string>

#include "log/ServerLog.h"

namespace varn {

namespace {

constexpr std::int64_t kWarningIntervalSeconds = 60;

// The system's words for an error, without the line end or full stop that some systems add.
std::string reasonText(const std::error_code& error) {
    std::string reason = error.message();
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ' ||
                               reason.back() == '.')) {
        reason.pop_back();
    }
    return reason;
}

}  // namespace

void BanFile::prepare(const std::string& path) {
    const platform::SavePlan previous = plan_;
    plan_ = platform::planSaves(files_, path);
    // A reload that finds the same folder as it was says nothing new.
    if (plan_.crashSafe || (!previous.crashSafe && previous.folder == plan_.folder)) return;
    auto& log = ServerLog::instance();
    log.line("SERVER-WARNING: The folder '", plan_.folder, "' does not take a temporary file (",
             reasonText(plan_.folderError),
             "), so saves of the Banned IP list cannot be crash-safe there; make the folder writable.");
}

bool BanFile::save(std::string_view content) {
    const std::error_code error = platform::saveFile(files_, plan_, content);
    if (error) {
        reportFailure(reasonText(error));
        return false;
    }
    if (failing_) {
        failing_ = false;
        ServerLog::instance().line("SERVER: Banned IP list saved again.");
    }
    return true;
}

void BanFile::refuse(std::string_view reason) { reportFailure(reason); }

void BanFile::reportFailure(std::string_view reason) {
    ++failedSaves_;
    const std::int64_t now = clock_.monotonicSeconds();
    const bool quiet = failing_ && now - lastWarning_ < kWarningIntervalSeconds;
    failing_ = true;
    if (quiet) return;
    lastWarning_ = now;
    auto& log = ServerLog::instance();
    log.line("SERVER-WARNING: Unable to save the Banned IP list (", reason, ").");
}

}  // namespace varn
