#include "access/BanList.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Files.h"
#include "protocol/AdminProtocol.h"

namespace varn {

namespace {

std::unique_ptr<BanList>& instanceSlot() {
    static std::unique_ptr<BanList> slot;
    return slot;
}

}  // namespace

BanList::BanList() : BanList(platform::FileSystem::system(), platform::SystemClock::instance()) {}

BanList::BanList(platform::FileSystem& files, const platform::Clock& clock) : file_(files, clock) {}

BanList::~BanList() {
    if (!filePath_.empty()) save();
}

BanList& BanList::instance() {
    auto& slot = instanceSlot();
    if (!slot) slot = std::make_unique<BanList>();
    return *slot;
}

void BanList::destroyInstance() { instanceSlot().reset(); }

bool BanList::load(const std::string& path) {
    // A reload would drop the changes that the file lacks: they are saved first, or kept.
    if (file_.hasUnsavedChanges() && !save()) return false;
    std::string content;
    if (!platform::readTextFile(path, content)) return false;
    entries_.clear();
    filePath_ = path;
    file_.prepare(path);
    std::size_t lineStart = 0;
    while (lineStart < content.size()) {
        const std::size_t lineEnd = content.find('\n', lineStart);
        if (lineEnd == std::string::npos) {
            entries_.push_back(content.substr(lineStart));
            break;
        }
        entries_.push_back(content.substr(lineStart, lineEnd - lineStart));
        lineStart = lineEnd + 1;
    }
    index_.assign(entries_);
    return true;
}

bool BanList::save() {
    if (filePath_.empty()) return false;
    std::string content;
    for (const std::string& entry : entries_) {
        content += entry;
        content += platform::kTextLineEnd;
    }
    return file_.save(content);
}

bool BanList::add(std::string_view ipText) {
    entries_.emplace_back(ipText);
    index_.insert(ipText);
    return save();
}

bool BanList::addAddress(const PeerAddress& address) { return add(address.ipText().view()); }

bool BanList::remove(std::string_view text) {
    const auto found = std::find(entries_.begin(), entries_.end(), text);
    if (found == entries_.end()) return false;
    entries_.erase(found);
    index_.erase(text);
    save();
    return true;
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

}  // namespace varn
