#include "access/KnownAdministrators.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "access/BanDetails.h"
#include "access/BanIndex.h"
#include "log/ServerLog.h"
#include "net/PeerAddress.h"

namespace varn {

namespace {

constexpr std::int64_t kSecondsPerKeptDay = 86400;

// The system's words for an error, without a full stop at the end.
std::string knownFileReason(const std::error_code& error) {
    std::string reason = error.message();
    while (!reason.empty() && (reason.back() == '.' || reason.back() == '\n' || reason.back() == '\r')) {
        reason.pop_back();
    }
    return reason;
}

}  // namespace

KnownAdministrators::KnownAdministrators(platform::FileSystem& files, const platform::Clock& clock,
                                         std::int32_t days)
    : files_(files), clock_(clock), keepSeconds_(std::int64_t{days} * kSecondsPerKeptDay) {}

bool KnownAdministrators::load(const std::string& path) {
    path_ = path;
    lastLogin_.clear();
    std::string content;
    if (!platform::readTextFile(path, content)) {
        writable_ = platform::fileIsMissing(path);
        if (!writable_) {
            ServerLog::instance().line("SERVER-WARNING: Unable to read the known administrators' addresses '",
                                       printableForLog(path), "' (", platform::whyFileCannotBeRead(path),
                                       "); none are known.");
        }
        if (writable_) plan_ = platform::planSaves(files_, path);
        return writable_;
    }
    writable_ = true;
    plan_ = platform::planSaves(files_, path);
    const std::int64_t now = clock_.calendarSeconds();
    std::size_t lineStart = 0;
    while (lineStart < content.size()) {
        std::size_t lineEnd = content.find('\n', lineStart);
        if (lineEnd == std::string::npos) lineEnd = content.size();
        const std::string_view line = std::string_view(content).substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos) continue;
        const std::optional<std::uint32_t> address = banAddressOf(line.substr(0, space));
        const std::optional<std::int64_t> date = readUtcDate(line.substr(space + 1));
        if (!address || !date || now - *date >= keepSeconds_) continue;
        std::int64_t& kept = lastLogin_[*address];
        kept = std::max(kept, *date);
    }
    keepNewest();
    return true;
}

// One pass over however many lines the file held: a file of any length loads in time that grows
// with its length, not its square.
void KnownAdministrators::keepNewest() {
    if (lastLogin_.size() <= kMaxAddresses) return;
    std::vector<std::pair<std::uint32_t, std::int64_t>> logins(lastLogin_.begin(), lastLogin_.end());
    const auto newerFirst = [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    };
    std::nth_element(logins.begin(), logins.begin() + kMaxAddresses, logins.end(), newerFirst);
    logins.resize(kMaxAddresses);
    lastLogin_ = std::unordered_map<std::uint32_t, std::int64_t>(logins.begin(), logins.end());
}

bool KnownAdministrators::isKnown(std::uint32_t address) const {
    const auto found = lastLogin_.find(address);
    return found != lastLogin_.end() && clock_.calendarSeconds() - found->second < keepSeconds_;
}

void KnownAdministrators::remember(std::uint32_t address) {
    if (keepSeconds_ <= 0) return;
    const std::int64_t now = clock_.calendarSeconds();
    const auto found = lastLogin_.find(address);
    if (found != lastLogin_.end() && now - found->second < kRefreshSeconds && now >= found->second) return;
    if (found == lastLogin_.end() && lastLogin_.size() >= kMaxAddresses) forgetOldest();
    lastLogin_[address] = now;
    save();
}

void KnownAdministrators::forgetOldest() {
    const auto oldest = std::min_element(lastLogin_.begin(), lastLogin_.end(),
                                         [](const auto& a, const auto& b) { return a.second < b.second; });
    if (oldest != lastLogin_.end()) lastLogin_.erase(oldest);
}

bool KnownAdministrators::save() {
    if (!writable_ || path_.empty()) return false;
    std::string content;
    for (const auto& [address, date] : lastLogin_) {
        content += ipTextOf(address).view();
        content += ' ';
        content += utcDateText(date);
        content += platform::kTextLineEnd;
    }
    const std::error_code error = platform::saveFile(files_, plan_, content);
    if (!error) return true;
    ServerLog::instance().line("SERVER-WARNING: Unable to save the known administrators' addresses '",
                               printableForLog(path_), "' (", knownFileReason(error), ").");
    return false;
}

}  // namespace varn
