#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "platform/Clock.h"
#include "platform/Files.h"

namespace varn {

// The addresses administrators have logged in from, each with the date of its last successful login,
// remembered for a number of days across restarts. The file holds one line per address,
// "<address> <date>" (a dotted IPv4 address, a UTC date such as 2026-12-10T12:00:00Z), and is
// saved crash-safe as the ban list is. An address known here is spared the shared budget of wrong
// admin passwords, never its own lock-out (PasswordLockout).
class KnownAdministrators {
public:
    // Addresses kept at most; a new one takes the place of the one whose login is oldest.
    static constexpr std::size_t kMaxAddresses = 256;
    // A login from a known address rewrites the file only when its date there is older than this.
    static constexpr std::int64_t kRefreshSeconds = 3600;
    // The file's name, in the folder of the ban file.
    static constexpr const char* kFileName = "known-admins.txt";

    // Dates come from the calendar clock; the saves go through files.
    KnownAdministrators(platform::FileSystem& files, const platform::Clock& clock, std::int32_t days);

    // Reads the file at path, leaving out lines that cannot be read and logins older than the days.
    // A missing file is an empty list that the first login creates; a file that is there but cannot
    // be read is logged ("SERVER-WARNING: Unable to read the known administrators' addresses
    // '<path>' (<reason>); none are known.") and never written over.
    bool load(const std::string& path);
    bool isKnown(std::uint32_t address) const;
    // A successful login from address (network byte order), now.
    void remember(std::uint32_t address);
    std::size_t size() const { return lastLogin_.size(); }

private:
    bool save();
    void forgetOldest();
    // Keeps the kMaxAddresses addresses with the newest logins.
    void keepNewest();

    platform::FileSystem& files_;
    const platform::Clock& clock_;
    std::int64_t keepSeconds_;
    std::string path_;
    bool writable_ = false;
    platform::SavePlan plan_;
    std::unordered_map<std::uint32_t, std::int64_t> lastLogin_;
};

}  // namespace varn
