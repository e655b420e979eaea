#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "access/BanFile.h"
#include "access/BanIndex.h"
#include "net/PeerAddress.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace varn {

// The banned IPv4 addresses, kept in a plain text file of one entry per line. An octet written as 0
// matches any value, so one entry can ban a range. Every change is written to the file at once. The
// entries are kept as written, in order, for the file and the listing; the ban test asks an index of
// them that is kept up to date with every load, add and remove.
class BanList {
public:
    BanList();
    // The file's saves go through files; the clock spaces out the warnings of failing saves.
    BanList(platform::FileSystem& files, const platform::Clock& clock);
    ~BanList();
    BanList(const BanList&) = delete;
    BanList& operator=(const BanList&) = delete;

    static BanList& instance();
    // Saves and ends the process-wide list.
    static void destroyInstance();

    bool load(const std::string& path);
    bool save();
    // Add and remove change the list in memory whatever the save gives; add answers the save's
    // result, remove whether an equal entry was there. A failing save is told in the log.
    bool add(std::string_view ipText);
    bool addAddress(const PeerAddress& address);
    bool remove(std::string_view text);
    bool isBanned(std::string_view ipText) const;
    bool isBannedAddress(const PeerAddress& address) const;
    // Writes every entry followed by '|' into out, stopping before the first entry (with its '|')
    // that does not fit; returns the number of bytes written.
    std::size_t listText(std::span<char> out) const;

    const std::vector<std::string>& entries() const { return entries_; }
    const std::string& filePath() const { return filePath_; }

private:
    std::vector<std::string> entries_;
    BanIndex index_;
    std::string filePath_;
    BanFile file_;
};

}  // namespace varn
