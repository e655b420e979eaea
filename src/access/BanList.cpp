#include "access/BanList.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
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
    // A reload would drop the changes that the file lacks: they are saved first, or kept. A file
    // that could not be read takes no save; what the list gained meanwhile is kept below instead.
    const bool fileWasUnreadable = !unreadableReason_.empty();
    if (!fileWasUnreadable && hasUnsavedChanges() && !save()) return false;
    std::string content;
    const bool read = platform::readTextFile(path, content);
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
        changed_ = changed_ || !entries_.empty();
        nothingToCreate_ = entries_.empty();
        return false;
    }
    nothingToCreate_ = false;
    std::vector<std::string> keptLines;
    if (fileWasUnreadable) {
        for (std::size_t index = 0; index < entries_.size(); ++index) keptLines.push_back(lineOf(index));
    }
    readEntries(path, content);
    if (!keptLines.empty()) keepLinesTheFileLacks(keptLines);
    // A line whose date has passed while the file lay unread never matches.
    expireDue(clock_.calendarSeconds());
    return true;
}

void BanList::keepLinesTheFileLacks(const std::vector<std::string>& lines) {
    std::unordered_set<std::string> inFile;
    for (std::size_t index = 0; index < entries_.size(); ++index) inFile.insert(lineOf(index));
    for (const std::string& text : lines) {
        if (inFile.contains(text)) continue;
        const BanLine line = readBanLine(text);
        append(line.entry, EntryNote{line.hasDetails, std::string(line.detailsText), line.details.until});
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
    changed_ = false;
    std::string content;
    content.reserve(entries_.size() * 16);
    for (std::size_t index = 0; index < entries_.size(); ++index) {
        content += lineOf(index);
        content += platform::kTextLineEnd;
    }
    return file_.save(content);
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

bool BanList::add(std::string_view ipText) {
    append(ipText, EntryNote{});
    return save();
}

bool BanList::addAddress(const PeerAddress& address) { return add(address.ipText().view()); }

bool BanList::add(std::string_view entry, const BanDetails& details) {
    if (details.empty()) return add(entry);
    append(entry, EntryNote{true, banDetailsText(details), details.until});
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
    changed_ = true;
}

void BanList::addAddressAutomatic(const PeerAddress& address, const BanDetails& details) {
    addAutomatic(address.ipText().view(), details);
}

bool BanList::remove(std::string_view text) {
    const auto found = std::find(entries_.begin(), entries_.end(), text);
    if (found == entries_.end()) return false;
    nothingToCreate_ = false;
    notes_.erase(notes_.begin() + (found - entries_.begin()));
    entries_.erase(found);
    index_.erase(text);
    findNextExpiry();
    save();
    return true;
}

std::vector<std::string> BanList::expireDue(std::int64_t now) {
    std::vector<std::string> expired;
    if (!nextExpiry_ || now < *nextExpiry_) return expired;
    std::size_t kept = 0;
    for (std::size_t index = 0; index < entries_.size(); ++index) {
        const std::optional<std::int64_t>& until = notes_[index].until;
        if (until && *until <= now) {
            ServerLog::instance().line("SERVER: Ban on ", printableForLog(entries_[index]), " expired.");
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
