#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "access/BanDetails.h"
#include "access/BanFile.h"
#include "access/BanIndex.h"
#include "net/PeerAddress.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace varn {

// The banned IPv4 addresses, kept in a plain text file of one entry per line. An octet written as 0
// matches any value, so one entry can ban a range; so does a CIDR range a.b.c.d/n. An
// administrator's change is written to the file at once; the changes the server makes by itself
// (automatic bans, expiry) are written together by saveIfDue, at most once a second, so a flood of
// them costs one save and not one each. The entries are kept as written, in order, for the file and
// the listing; the ban test asks an index of them that is kept up to date with every load, add and
// remove. A line may carry details after " # " (BanDetails.h); an entry whose "until" date has
// passed stops matching at the next expiry check (or at once, when it is read already past) and
// leaves the file at the next save.
class BanList {
public:
    // The file's saves go through files; the clock dates expiry at load, spaces out the grouped
    // saves and the warnings of failing saves.
    BanList(platform::FileSystem& files, const platform::Clock& clock);
    // Saves once more, when the list has a file.
    ~BanList();
    BanList(const BanList&) = delete;
    BanList& operator=(const BanList&) = delete;

    // Reads the file at path. False when it cannot be read; the list then keeps its entries, and
    // when it had no file yet (or this one) it takes the path all the same: a missing file is
    // created by the first save after a change, while one that is there but cannot be read (no
    // permission, a folder) is never written over: its saves fail with the reason until a load works.
    // A reload reads before it writes anything: the file is the operator's word, and the changes
    // the server made since it last read or wrote the file (its own bans, removals and expiries)
    // are made again on what it read; when there are any, the file is saved with them.
    bool load(const std::string& path);
    // Writes the list to its file. When the file changed on disk since the list last read or wrote
    // it, it is read again first, as a reload would, so that an operator's edit is never written over.
    bool save();
    // Add and remove change the list in memory whatever the save gives; add answers the save's
    // result, remove whether an equal entry was there. A failing save is told in the log.
    bool add(std::string_view ipText);
    bool addAddress(const PeerAddress& address);
    // The same with details written after the entry; empty details write the entry alone.
    bool add(std::string_view entry, const BanDetails& details);
    bool addAddress(const PeerAddress& address, const BanDetails& details);
    bool remove(std::string_view text);
    // A ban the server makes by itself (a flood): in force at once, written by the next saveIfDue.
    void addAutomatic(std::string_view entry, const BanDetails& details);
    void addAddressAutomatic(const PeerAddress& address, const BanDetails& details);
    // Saves the changes not yet written when the last save is a second old or more; true when it
    // saved. Called once per pass of the loop.
    bool saveIfDue();
    // The list holds changes that its file lacks.
    bool hasUnsavedChanges() const { return changed_ || file_.hasUnsavedChanges(); }
    // Saves of the file that failed (or were refused) since start-up.
    std::uint64_t failedSaves() const { return file_.failedSaves(); }
    // Changes wait for a grouped save (saveIfDue) that will write them.
    bool savePending() const { return hasUnsavedChanges() && !filePath_.empty() && !nothingToCreate_; }
    // Some entry carries an end date.
    bool hasTimedEntries() const { return nextExpiry_.has_value(); }
    // Reading the file took out expired entries that expireDue has not handed on yet.
    bool hasExpiriesToHandOn() const { return !expiredWhileReading_.empty(); }
    bool isBanned(std::string_view ipText) const;
    bool isBannedAddress(const PeerAddress& address) const;
    // Writes every entry followed by '|' into out, stopping before the first entry (with its '|')
    // that does not fit; returns the number of bytes written.
    std::size_t listText(std::span<char> out) const;
    // Writes the lines from entry number first on, each as the file holds it and followed by '\n',
    // stopping before the first line that does not fit; a first line longer than out is cut to fit,
    // so a page always holds at least one line. Returns the bytes written and counts the lines.
    std::size_t listLines(std::size_t first, std::span<char> out, std::size_t& lines) const;

    // Takes out the entries whose "until" date is at or before now (calendar seconds), each with
    // the line "SERVER: Ban on <entry> expired."; the file loses them at the next save, grouped or
    // not. Costs nothing until the earliest date comes. The entries taken out, in list order, after
    // those that reading the file took out (at start-up or a reload) since the last call.
    std::vector<std::string> expireDue(std::int64_t now);

    const std::vector<std::string>& entries() const { return entries_; }
    const std::string& filePath() const { return filePath_; }

private:
    // The part of a line after its entry: the details as written, and the date they end the ban on.
    struct EntryNote {
        bool hasDetails = false;
        std::string detailsText;
        std::optional<std::int64_t> until;
    };
    // A change the server made to the list since it last read or wrote its file, kept so that it
    // can be made again on the file as the operator left it.
    struct OwnChange {
        enum class Kind {
            Added,    // the line was appended
            Removed,  // an administrator removed the line's entry
            Expired,  // the line's date passed
        };
        Kind kind;
        std::string line;  // the entry with its details, as the file holds it
    };
    // Whether the lines the list had are kept when the file is read in.
    enum class MemoryLines { Dropped, KeptWhereTheFileLacksThem };

    void append(std::string_view entry, EntryNote note);
    void appendLine(std::string_view text);
    void eraseAt(std::size_t index);
    std::string lineOf(std::size_t index) const;
    void findNextExpiry();
    void readEntries(const std::string& path, const std::string& content);
    // Takes the file's content as the list, then the server's own changes on top.
    void takeInFile(const std::string& path, const std::string& content, const platform::FileStamp& stamp,
                    MemoryLines memory);
    // Appends the lines (entries with their details) that the list read from its file lacks.
    void keepLinesTheFileLacks(const std::vector<std::string>& lines);
    void applyOwnChanges(MemoryLines memory);
    // Before a save: reads the file again when it is not as the list last read or wrote it. False
    // when it is there and cannot be read, so must not be written over.
    bool readAgainIfChanged();
    void claimFileAfterFailedSave(const std::string& written);
    std::vector<std::string> takeOutExpired(std::int64_t now);

    // Seconds between two grouped saves.
    static constexpr std::int64_t kGroupedSaveSeconds = 1;

    std::vector<std::string> entries_;
    std::vector<EntryNote> notes_;
    std::optional<std::int64_t> nextExpiry_;
    BanIndex index_;
    std::string filePath_;
    // Why the file at filePath_ could not be read, while it could not: saves must not replace it.
    std::string unreadableReason_;
    // The file is missing and the list has not changed since: a save has nothing to create.
    bool nothingToCreate_ = false;
    // Changes that only the grouped save writes, and when a save last ran (monotonic seconds).
    bool changed_ = false;
    std::optional<std::int64_t> lastSave_;
    // The server's changes that the file lacks, in the order they were made.
    std::vector<OwnChange> ownChanges_;
    // The file as the list last read or wrote it; nothing when it was missing.
    std::optional<platform::FileStamp> knownStamp_;
    // Entries that reading the file took out as expired, for the next expireDue to hand on.
    std::vector<std::string> expiredWhileReading_;
    const platform::Clock& clock_;
    BanFile file_;
};

}  // namespace varn
