#include "access/BanList.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <unordered_set>
#include <vector>

#include "log/ServerLog.h"
#include "platform/Files.h"
#include "protocol/AdminProtocol.h"

namespace varn {

BanList::BanList(platform::FileSystem& files, const platform::Clock& clock) : clock_(clock), file_(files, clock) {}

BanList::~BanList() {
    if (!filePath_.empty()) save();
}

bool BanList::load(const std::string& path) {
    // The file is read before anything is written: the operator's edit is what the list takes,
    // with the server's own changes made again on top of it.
    const bool fileWasUnreadable = !unreadableReason_.empty();
    // Changes the file lacked before the reload are written once it is read; what the reading itself
    // finds expired waits for the grouped save.
    const bool hadUnsavedChanges = hasUnsavedChanges();
    std::string content;
    platform::FileStamp stamp;
    const bool read = platform::readTextFile(path, content, stamp);
    const bool missing = !read && platform::fileIsMissing(path);
    // A failed load of another file than the list's own leaves the list as it was.
    if (!read && !filePath_.empty() && path != filePath_) return false;
    filePath_ = path;
    if (!read && !missing) {
        unreadableReason_ = platform::whyFileCannotBeRead(path);
        return false;
    }
    unreadableReason_.clear();
    file_.prepare(path);
    if (missing) {
        // The first save after a change creates the file; one that has gone while the list holds
        // entries is made again by the next grouped save.
        knownStamp_.reset();
        changed_ = changed_ || !entries_.empty();
        nothingToCreate_ = entries_.empty();
        return false;
    }
    nothingToCreate_ = false;
    takeInFile(path, content, stamp,
               fileWasUnreadable ? MemoryLines::KeptWhereTheFileLacksThem : MemoryLines::Dropped);
    if (hadUnsavedChanges) save();
    return true;
}

void BanList::takeInFile(const std::string& path, const std::string& content, const platform::FileStamp& stamp,
                         MemoryLines memory) {
    std::vector<std::string> keptLines;
    if (memory == MemoryLines::KeptWhereTheFileLacksThem) {
        for (std::size_t index = 0; index < entries_.size(); ++index) keptLines.push_back(lineOf(index));
    }
    readEntries(path, content);
    knownStamp_ = stamp;
    changed_ = false;
    if (!keptLines.empty()) keepLinesTheFileLacks(keptLines);
    applyOwnChanges(memory);
    // A line whose date has passed while the file lay unread never matches.
    std::vector<std::string> expired = takeOutExpired(clock_.calendarSeconds());
    expiredWhileReading_.insert(expiredWhileReading_.end(), std::make_move_iterator(expired.begin()),
                                std::make_move_iterator(expired.end()));
}

// The server's changes are made again in the order they were made. A removal or expiry whose line
// the operator has taken out (or changed) already has nothing left to do.
void BanList::applyOwnChanges(MemoryLines memory) {
    for (const OwnChange& change : ownChanges_) {
        changed_ = true;
        if (change.kind == OwnChange::Kind::Added) {
            // The lines kept from memory hold the additions already.
            if (memory == MemoryLines::Dropped) appendLine(change.line);
            continue;
        }
        std::size_t found = entries_.size();
        for (std::size_t index = 0; index < entries_.size() && found == entries_.size(); ++index) {
            if (lineOf(index) == change.line) found = index;
        }
        // An administrator's removal takes the entry even when the operator changed its details.
        if (found == entries_.size() && change.kind == OwnChange::Kind::Removed) {
            const std::string_view entry = readBanLine(change.line).entry;
            found = static_cast<std::size_t>(std::find(entries_.begin(), entries_.end(), entry) - entries_.begin());
        }
        if (found < entries_.size()) eraseAt(found);
    }
    findNextExpiry();
}

void BanList::keepLinesTheFileLacks(const std::vector<std::string>& lines) {
    std::unordered_set<std::string> inFile;
    for (std::size_t index = 0; index < entries_.size(); ++index) inFile.insert(lineOf(index));
    for (const std::string& text : lines) {
        if (inFile.contains(text)) continue;
        appendLine(text);
        changed_ = true;
    }
}

void BanList::readEntries(const std::string& path, const std::string& content) {
    entries_.clear();
    notes_.clear();
    std::size_t unreadable = 0;
    std::size_t firstUnreadableLine = 0;
    std::size_t lineStart = 0;
    while (lineStart < content.size()) {
        std::size_t lineEnd = content.find('\n', lineStart);
        if (lineEnd == std::string::npos) lineEnd = content.size();
        const BanLine line = readBanLine(std::string_view(content).substr(lineStart, lineEnd - lineStart));
        if (line.unreadableDetails != 0 && unreadable == 0) firstUnreadableLine = entries_.size() + 1;
        unreadable += line.unreadableDetails;
        entries_.emplace_back(line.entry);
        notes_.push_back(EntryNote{line.hasDetails, std::string(line.detailsText), line.details.until});
        lineStart = lineEnd + 1;
    }
    index_.assign(entries_);
    findNextExpiry();
    if (unreadable != 0) {
        ServerLog::instance().line("SERVER-WARNING: ", unreadable, " ban details in '", printableForLog(path),
                                   "' could not be read (the first on line ", firstUnreadableLine,
                                   "); they are kept as written and ignored.");
    }
}

bool BanList::save() {
    if (filePath_.empty()) return false;
    if (nothingToCreate_) return false;
    lastSave_ = clock_.monotonicSeconds();
    if (!unreadableReason_.empty()) {
        file_.refuse(unreadableReason_);
        return false;
    }
    if (!readAgainIfChanged()) return false;
    changed_ = false;
    std::string content;
    content.reserve(entries_.size() * 16);
    for (std::size_t index = 0; index < entries_.size(); ++index) {
        content += lineOf(index);
        content += platform::kTextLineEnd;
    }
    if (!file_.save(content)) {
        claimFileAfterFailedSave(content);
        return false;
    }
    ownChanges_.clear();
    knownStamp_ = platform::fileStampOf(filePath_);
    return true;
}

// Whatever a failed save left (the old file, the new one when only a later step failed, a cut one
// written in place) holds nothing of the operator's that the list lacks: the save read any edit
// first. So the next save writes the list without reading that file again; when it is the list's
// whole content after all, the server's changes are in it.
void BanList::claimFileAfterFailedSave(const std::string& written) {
    std::string onDisk;
    platform::FileStamp stamp;
    if (!platform::readTextFile(filePath_, onDisk, stamp)) {
        knownStamp_.reset();
        return;
    }
    knownStamp_ = stamp;
    std::string expected;
    expected.reserve(written.size());
    for (std::size_t index = 0; index < entries_.size(); ++index) {
        expected += lineOf(index);
        expected += '\n';
    }
    if (onDisk == expected) ownChanges_.clear();
}

bool BanList::readAgainIfChanged() {
    const std::optional<platform::FileStamp> onDisk = platform::fileStampOf(filePath_);
    if (onDisk == knownStamp_) return true;
    // A file that has gone is made again from the list.
    if (!onDisk && platform::fileIsMissing(filePath_)) return true;
    std::string content;
    platform::FileStamp stamp;
    if (!platform::readTextFile(filePath_, content, stamp)) {
        unreadableReason_ = platform::whyFileCannotBeRead(filePath_);
        file_.refuse(unreadableReason_);
        return false;
    }
    takeInFile(filePath_, content, stamp, MemoryLines::Dropped);
    ServerLog::instance().line("SERVER: The Banned IP list changed on disk; read it again before saving (",
                               entries_.size(), " entries).");
    return true;
}

bool BanList::saveIfDue() {
    if (!hasUnsavedChanges() || filePath_.empty()) return false;
    const std::int64_t now = clock_.monotonicSeconds();
    if (lastSave_ && now - *lastSave_ < kGroupedSaveSeconds) return false;
    save();
    return true;
}

std::string BanList::lineOf(std::size_t index) const {
    const EntryNote& note = notes_[index];
    if (!note.hasDetails) return entries_[index];
    std::string line = entries_[index];
    line += kBanDetailsSeparator;
    line += note.detailsText;
    return line;
}

void BanList::append(std::string_view entry, EntryNote note) {
    nothingToCreate_ = false;
    if (note.until && (!nextExpiry_ || *note.until < *nextExpiry_)) nextExpiry_ = note.until;
    entries_.emplace_back(entry);
    notes_.push_back(std::move(note));
    index_.insert(entry);
}

void BanList::appendLine(std::string_view text) {
    const BanLine line = readBanLine(text);
    append(line.entry, EntryNote{line.hasDetails, std::string(line.detailsText), line.details.until});
}

void BanList::eraseAt(std::size_t index) {
    index_.erase(entries_[index]);
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
    notes_.erase(notes_.begin() + static_cast<std::ptrdiff_t>(index));
}

bool BanList::add(std::string_view ipText) {
    append(ipText, EntryNote{});
    ownChanges_.push_back({OwnChange::Kind::Added, std::string(ipText)});
    return save();
}

bool BanList::addAddress(const PeerAddress& address) { return add(address.ipText().view()); }

bool BanList::add(std::string_view entry, const BanDetails& details) {
    if (details.empty()) return add(entry);
    append(entry, EntryNote{true, banDetailsText(details), details.until});
    ownChanges_.push_back({OwnChange::Kind::Added, lineOf(entries_.size() - 1)});
    return save();
}

bool BanList::addAddress(const PeerAddress& address, const BanDetails& details) {
    return add(address.ipText().view(), details);
}

void BanList::addAutomatic(std::string_view entry, const BanDetails& details) {
    if (details.empty()) {
        append(entry, EntryNote{});
    } else {
        append(entry, EntryNote{true, banDetailsText(details), details.until});
    }
    ownChanges_.push_back({OwnChange::Kind::Added, lineOf(entries_.size() - 1)});
    changed_ = true;
}

void BanList::addAddressAutomatic(const PeerAddress& address, const BanDetails& details) {
    addAutomatic(address.ipText().view(), details);
}

bool BanList::remove(std::string_view text) {
    const auto found = std::find(entries_.begin(), entries_.end(), text);
    if (found == entries_.end()) return false;
    nothingToCreate_ = false;
    const auto index = static_cast<std::size_t>(found - entries_.begin());
    ownChanges_.push_back({OwnChange::Kind::Removed, lineOf(index)});
    eraseAt(index);
    findNextExpiry();
    save();
    return true;
}

std::vector<std::string> BanList::expireDue(std::int64_t now) {
    std::vector<std::string> expired = std::move(expiredWhileReading_);
    expiredWhileReading_.clear();
    std::vector<std::string> due = takeOutExpired(now);
    expired.insert(expired.end(), std::make_move_iterator(due.begin()), std::make_move_iterator(due.end()));
    return expired;
}

std::vector<std::string> BanList::takeOutExpired(std::int64_t now) {
    std::vector<std::string> expired;
    if (!nextExpiry_ || now < *nextExpiry_) return expired;
    std::size_t kept = 0;
    for (std::size_t index = 0; index < entries_.size(); ++index) {
        const std::optional<std::int64_t>& until = notes_[index].until;
        if (until && *until <= now) {
            ServerLog::instance().line("SERVER: Ban on ", printableForLog(entries_[index]), " expired.");
            ownChanges_.push_back({OwnChange::Kind::Expired, lineOf(index)});
            index_.erase(entries_[index]);
            expired.push_back(std::move(entries_[index]));
            continue;
        }
        if (kept != index) {
            entries_[kept] = std::move(entries_[index]);
            notes_[kept] = std::move(notes_[index]);
        }
        ++kept;
    }
    if (kept != entries_.size()) changed_ = true;
    entries_.resize(kept);
    notes_.resize(kept);
    findNextExpiry();
    return expired;
}

void BanList::findNextExpiry() {
    nextExpiry_.reset();
    for (const EntryNote& note : notes_) {
        if (note.until && (!nextExpiry_ || *note.until < *nextExpiry_)) nextExpiry_ = note.until;
    }
}

bool BanList::isBanned(std::string_view ipText) const { return index_.isBanned(ipText); }

// The dotted text of an address reads as the address itself, so the text need not be written.
bool BanList::isBannedAddress(const PeerAddress& address) const { return index_.coversAddress(address.address); }

std::size_t BanList::listText(std::span<char> out) const {
    std::size_t written = 0;
    for (const std::string& entry : entries_) {
        if (entry.size() + 1 > out.size() - written) break;
        std::copy(entry.begin(), entry.end(), out.begin() + static_cast<std::ptrdiff_t>(written));
        written += entry.size();
        out[written++] = admin::kBanListSeparator;
    }
    return written;
}

std::size_t BanList::listLines(std::size_t first, std::span<char> out, std::size_t& lines) const {
    std::size_t written = 0;
    lines = 0;
    for (std::size_t index = first; index < entries_.size() && written < out.size(); ++index) {
        std::string line = lineOf(index);
        if (line.size() + 1 > out.size() - written) {
            if (lines != 0) break;
            line.resize(out.size() - 1);
        }
        std::copy(line.begin(), line.end(), out.begin() + static_cast<std::ptrdiff_t>(written));
        written += line.size();
        out[written++] = '\n';
        ++lines;
    }
    return written;
}

}  // namespace varn
