#include "admin/BanList.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/DatagramSocket.h"
#include "platform/Files.h"
#include "protocol/AdminProtocol.h"

namespace varn {

namespace {

std::unique_ptr<BanList>& instanceSlot() {
    static std::unique_ptr<BanList> slot;
    return slot;
}

// The address a text stands for, in network byte order, or nothing when the parser rejects it. The
// parser answers 255.255.255.255 both for that address and for a rejected text; only the dotted form
// is taken as the address itself, so a malformed entry never turns into a range match.
std::optional<std::uint32_t> parsedAddress(std::string_view text) {
    const std::string terminated(text);
    const std::uint32_t address = platform::addressFromText(terminated.c_str());
    if (address == platform::kNoAddress && text != ipTextOf(platform::kNoAddress).view()) return std::nullopt;
    return address;
}

// A 0 octet in the entry matches any value in the same position; the order of the octets in the
// word is the same on both sides, so the comparison needs no byte swapping.
bool coversAddress(std::uint32_t entry, std::uint32_t peer) {
    for (int shift = 0; shift < 32; shift += 8) {
        const std::uint32_t entryOctet = (entry >> shift) & 0xFFu;
        if (entryOctet != 0 && entryOctet != ((peer >> shift) & 0xFFu)) return false;
    }
    return true;
}

}  // namespace

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
    std::string content;
    if (!platform::readTextFile(path, content)) return false;
    entries_.clear();
    filePath_ = path;
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
    return true;
}

bool BanList::save() {
    if (filePath_.empty()) return false;
    std::string content;
    for (const std::string& entry : entries_) {
        content += entry;
        content += platform::kTextLineEnd;
    }
    return platform::replaceFileContent(filePath_, content);
}

bool BanList::add(std::string_view ipText) {
    entries_.emplace_back(ipText);
    return save();
}

bool BanList::addAddress(const PeerAddress& address) { return add(address.ipText().view()); }

bool BanList::remove(std::string_view text) {
    const auto found = std::find(entries_.begin(), entries_.end(), text);
    if (found == entries_.end()) return false;
    entries_.erase(found);
    return save();
}

bool BanList::isBanned(std::string_view ipText) const {
    if (std::find(entries_.begin(), entries_.end(), ipText) != entries_.end()) return true;
    const std::optional<std::uint32_t> peer = parsedAddress(ipText);
    if (!peer) return false;
    return std::any_of(entries_.begin(), entries_.end(), [&](const std::string& entry) {
        const std::optional<std::uint32_t> range = parsedAddress(entry);
        return range && coversAddress(*range, *peer);
    });
}

bool BanList::isBannedAddress(const PeerAddress& address) const {
    return isBanned(address.ipText().view());
}

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
