#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

namespace varn {

namespace platform {
class FileSystem;
}

// The small data one script keeps across restarts: keys to texts, numbers or yes/no values, at most
// kMaxBytes as saved. The file is written as the ban list is (a temporary file, synced, renamed over
// the old one), so a crash during a save leaves the old or the new content, never a mix.
class ScriptStore {
public:
    using Value = std::variant<std::string, double, std::int64_t, bool>;
    static constexpr std::size_t kMaxBytes = 64 * 1024;

    // oldPath, when given, is where the store was kept before: taken over once when path is missing.
    ScriptStore(platform::FileSystem& files, std::string path, std::string oldPath = {})
        : files_(files), path_(std::move(path)), oldPath_(std::move(oldPath)) {}

    // Reads the file; a missing file is an empty store. False (with the store empty) when the file
    // exists but cannot be read or is not a store: then it is never written over (saves do nothing
    // until a load works).
    bool load();
    // Whether the last load moved the file from the old path.
    bool tookOver() const { return tookOver_; }
    const std::string& oldPath() const { return oldPath_; }
    // False when the store would grow past kMaxBytes; nothing is changed then.
    bool set(std::string_view key, const Value& value);
    void remove(std::string_view key);
    const Value* find(std::string_view key) const;
    const std::map<std::string, Value, std::less<>>& entries() const { return entries_; }

    bool changed() const { return changed_; }
    // Writes the file when something changed since the last save.
    std::error_code saveIfChanged();
    const std::string& path() const { return path_; }

    // The saved form, and the reading of it (none for a text that is not a store).
    static std::string encode(const std::map<std::string, Value, std::less<>>& entries);
    static std::optional<std::map<std::string, Value, std::less<>>> decode(std::string_view bytes);

private:
    static std::size_t entrySize(std::string_view key, const Value& value);
    bool takeOverOldFile();

    platform::FileSystem& files_;
    std::string path_;
    std::string oldPath_;
    bool readable_ = true;
    bool tookOver_ = false;
    std::map<std::string, Value, std::less<>> entries_;
    std::size_t size_ = 0;
    bool changed_ = false;
};

}  // namespace varn
