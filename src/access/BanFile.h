#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/Files.h"

namespace varn {

// The ban list's file: how its saves are made and how a failing save is told to the operator. The
// list in memory stays in force whatever happens here; the file only catches up.
class BanFile {
public:
    BanFile(platform::FileSystem& files, const platform::Clock& clock) : files_(files), clock_(clock) {}

    // Chooses how the saves of the file at path are made. Warns once when its folder does not take
    // the temporary file a crash-safe save needs.
    void prepare(const std::string& path);
    // Writes content as the file's whole content. A failure is logged with the system's reason, not
    // more than once a minute while saves keep failing; the first save that works again says so.
    bool save(std::string_view content);
    // A save that must not be made (the file there could not be read, so writing it would lose
    // what it holds): told like a failing save, with reason.
    void refuse(std::string_view reason);
    // The last save failed: the file lacks changes that the list in memory has.
    bool hasUnsavedChanges() const { return failing_; }
    // Saves that failed or were refused since start-up, each counted (the log tells only some).
    std::uint64_t failedSaves() const { return failedSaves_; }

private:
    void reportFailure(std::string_view reason);

    platform::FileSystem& files_;
    const platform::Clock& clock_;
    platform::SavePlan plan_;
    bool failing_ = false;
    std::int64_t lastWarning_ = 0;
    std::uint64_t failedSaves_ = 0;
};

}  // namespace varn
