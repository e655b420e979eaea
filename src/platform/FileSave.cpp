#include "platform/Files.h"

namespace varn::platform {

namespace {

constexpr std::string_view kTemporaryPrefix = ".";
constexpr std::string_view kTemporarySuffix = ".saving";

// Where the file's own name starts: after the last folder separator ('\' too on Windows).
std::size_t nameStart(const std::string& path) {
#if defined(_WIN32)
    const std::size_t separator = path.find_last_of("/\\");
#else
    const std::size_t separator = path.find_last_of('/');
#endif
    return separator == std::string::npos ? 0 : separator + 1;
}

std::string folderOf(const std::string& path) {
    const std::size_t start = nameStart(path);
    if (start == 0) return ".";
    if (start == 1) return path.substr(0, 1);  // the root folder
    return path.substr(0, start - 1);
}

// Closes the file after a failed step; the step's error is the one reported.
void closeAfterFailure(FileSystem& files, FileSystem::Handle file) { static_cast<void>(files.close(file)); }

std::error_code saveThroughTemporary(FileSystem& files, const SavePlan& plan, std::string_view content) {
    FileSystem::Handle file = 0;
    if (const std::error_code error =
            files.open(plan.temporary, FileSystem::Creation::FreshFile, plan.file, file)) {
        return error;
    }
    std::error_code error = files.write(file, content);
    if (!error) error = files.sync(file);
    if (error) {
        closeAfterFailure(files, file);
    } else {
        error = files.close(file);
    }
    if (!error) error = files.rename(plan.temporary, plan.file);
    if (error) {
        // The next save replaces it if it cannot be removed now.
        static_cast<void>(files.remove(plan.temporary));
        return error;
    }
    return files.syncFolder(plan.folder);
}

// Written over from the start and cut to the new length afterwards, so that a failing write never
// finds an emptied file; still no crash safety: a crash can leave old and new content mixed.
std::error_code saveInPlace(FileSystem& files, const SavePlan& plan, std::string_view content) {
    FileSystem::Handle file = 0;
    if (const std::error_code error =
            files.open(plan.file, FileSystem::Creation::KeepContent, plan.file, file)) {
        return error;
    }
    std::error_code error = files.write(file, content);
    if (!error) error = files.truncate(file, content.size());
    if (!error) error = files.sync(file);
    if (error) {
        closeAfterFailure(files, file);
        return error;
    }
    return files.close(file);
}

}  // namespace

std::string temporaryFileFor(const std::string& file) {
    const std::size_t start = nameStart(file);
    std::string temporary = file.substr(0, start);
    temporary += kTemporaryPrefix;
    temporary.append(file, start);
    temporary += kTemporarySuffix;
    return temporary;
}

SavePlan planSaves(FileSystem& files, const std::string& path) {
    SavePlan plan;
    plan.file = files.saveTarget(path);
    plan.folder = folderOf(plan.file);
    plan.temporary = temporaryFileFor(plan.file);
    FileSystem::Handle probe = 0;
    std::error_code error = files.open(plan.temporary, FileSystem::Creation::FreshFile, plan.file, probe);
    if (!error) {
        error = files.close(probe);
        const std::error_code removed = files.remove(plan.temporary);
        if (!error) error = removed;
    }
    plan.crashSafe = !error;
    plan.folderError = error;
    return plan;
}

std::error_code saveFile(FileSystem& files, const SavePlan& plan, std::string_view content) {
    return plan.crashSafe ? saveThroughTemporary(files, plan, content) : saveInPlace(files, plan, content);
}

}  // namespace varn::platform
