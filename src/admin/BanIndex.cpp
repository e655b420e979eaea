#include "admin/BanIndex.h"

#include <algorithm>
#include <utility>

#include "net/PeerAddress.h"
#include "platform/DatagramSocket.h"

namespace varn {

namespace {

constexpr std::uint32_t kUnparsedAddress = 0xFFFFFFFFu;

}  // namespace

// The parser answers 255.255.255.255 both for that address and for a rejected text; only the dotted
// form is taken as the address itself, so a malformed entry never turns into a range.
std::optional<std::uint32_t> banAddressOf(std::string_view text) {
    const std::string terminated(text);
    const std::uint32_t address = platform::addressFromText(terminated.c_str());
    if (address == kUnparsedAddress && text != ipTextOf(kUnparsedAddress).view()) return std::nullopt;
    return address;
}

std::optional<AddressRange> banRangeOf(std::string_view entry) {
    const std::optional<std::uint32_t> address = banAddressOf(entry);
    if (!address) return std::nullopt;
    std::uint32_t mask = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        if (((*address >> shift) & 0xFFu) != 0) mask |= 0xFFu << shift;
    }
    return AddressRange{*address, mask};
}

void BanIndex::assign(const std::vector<std::string>& entries) {
    groups_.clear();
    unparsedTexts_.clear();
    std::vector<AddressRange> ranges;
    ranges.reserve(entries.size());
    for (const std::string& entry : entries) {
        const std::optional<AddressRange> range = banRangeOf(entry);
        if (range) {
            ranges.push_back(*range);
        } else {
            ++unparsedTexts_[entry];
        }
    }
    // Each group is sized once for all its ranges instead of growing step by step.
    std::sort(ranges.begin(), ranges.end(), [](const AddressRange& left, const AddressRange& right) {
        return left.mask < right.mask;
    });
    for (auto first = ranges.begin(); first != ranges.end();) {
        const auto last = std::find_if(first, ranges.end(),
                                       [mask = first->mask](const AddressRange& range) { return range.mask != mask; });
        RangeGroup& group = groupOf(first->mask);
        group.counts.reserve(static_cast<std::size_t>(last - first));
        for (auto range = first; range != last; ++range) ++group.counts[range->value];
        first = last;
    }
}

void BanIndex::insert(std::string_view entry) {
    const std::optional<AddressRange> range = banRangeOf(entry);
    if (!range) {
        const auto found = unparsedTexts_.find(entry);
        if (found != unparsedTexts_.end()) {
            ++found->second;
        } else {
            unparsedTexts_.emplace(std::string(entry), 1);
        }
        return;
    }
    ++groupOf(range->mask).counts[range->value];
}

void BanIndex::erase(std::string_view entry) {
    const std::optional<AddressRange> range = banRangeOf(entry);
    if (range) {
        eraseRange(*range);
        return;
    }
    const auto found = unparsedTexts_.find(entry);
    if (found != unparsedTexts_.end() && --found->second == 0) unparsedTexts_.erase(found);
}

bool BanIndex::isBanned(std::string_view ipText) const {
    const std::optional<std::uint32_t> peer = banAddressOf(ipText);
    if (!peer) return unparsedTexts_.find(ipText) != unparsedTexts_.end();
    return coversAddress(*peer);
}

bool BanIndex::coversAddress(std::uint32_t address) const {
    return std::any_of(groups_.begin(), groups_.end(), [address](const RangeGroup& group) {
        return group.counts.find(address & group.mask) != group.counts.end();
    });
}

BanIndex::RangeGroup& BanIndex::groupOf(std::uint32_t mask) {
    const auto found = std::find_if(groups_.begin(), groups_.end(),
                                    [mask](const RangeGroup& group) { return group.mask == mask; });
    if (found != groups_.end()) return *found;
    groups_.push_back(RangeGroup{mask, {}});
    return groups_.back();
}

// A group that loses its last range goes, so a test only ever looks at masks some entry has.
void BanIndex::eraseRange(const AddressRange& range) {
    const auto group = std::find_if(groups_.begin(), groups_.end(),
                                    [&range](const RangeGroup& candidate) { return candidate.mask == range.mask; });
    if (group == groups_.end()) return;
    const auto value = group->counts.find(range.value);
    if (value == group->counts.end()) return;
    if (--value->second == 0) group->counts.erase(value);
    if (group->counts.empty()) {
        if (group != groups_.end() - 1) *group = std::move(groups_.back());
        groups_.pop_back();
    }
}

}  // namespace varn
