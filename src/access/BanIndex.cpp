#include "access/BanIndex.h"

#include <algorithm>
#include <map>
#include <utility>

#include "net/PeerAddress.h"
#include "protocol/BanEntryText.h"

namespace varn {

namespace {

constexpr std::uint32_t kUnparsedAddress = 0xFFFFFFFFu;
constexpr std::size_t kSmallestTable = 16;

}  // namespace

// The parser answers 255.255.255.255 both for that address and for a rejected text; only the dotted
// form is taken as the address itself, so a malformed entry never turns into a range.
std::optional<std::uint32_t> banAddressOf(std::string_view text) {
    const std::string terminated(text);
    const std::uint32_t address = addressFromText(terminated.c_str());
    if (address == kUnparsedAddress && text != ipTextOf(kUnparsedAddress).view()) return std::nullopt;
    return address;
}

// An entry with a '/' is a CIDR range or nothing: the IPv4 text parser never reads a '/', so such a
// text never named an address before ranges of this form were known.
std::optional<AddressRange> banRangeOf(std::string_view entry) {
    if (isCidrEntry(entry)) {
        const std::optional<banentry::EntryForm> form = banentry::readEntryForm(entry);
        if (!form) return std::nullopt;
        const std::uint32_t mask = form->hostMask();
        return AddressRange{PeerAddress::fromHostOrder(form->address & mask, 0).address,
                            PeerAddress::fromHostOrder(mask, 0).address};
    }
    const std::optional<std::uint32_t> address = banAddressOf(entry);
    if (!address) return std::nullopt;
    std::uint32_t mask = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        if (((*address >> shift) & 0xFFu) != 0) mask |= 0xFFu << shift;
    }
    return AddressRange{*address, mask};
}

bool isCidrEntry(std::string_view entry) { return entry.find(banentry::kPrefixSeparator) != std::string_view::npos; }

namespace {

// The first and last address (host byte order) of a CIDR entry, or nothing for any other text.
std::optional<std::pair<std::uint32_t, std::uint32_t>> cidrIntervalOf(std::string_view entry) {
    if (!isCidrEntry(entry)) return std::nullopt;
    const std::optional<banentry::EntryForm> form = banentry::readEntryForm(entry);
    if (!form) return std::nullopt;
    const std::uint32_t mask = form->hostMask();
    const std::uint32_t first = form->address & mask;
    return std::pair{first, first | ~mask};
}

}  // namespace

void AddressCounts::reserve(std::size_t count) {
    std::size_t capacity = kSmallestTable;
    while (capacity < 2 * count) capacity *= 2;
    if (capacity > slots_.size()) rehash(capacity);
}

void AddressCounts::add(std::uint32_t value) {
    if (2 * (size_ + 1) > slots_.size()) rehash(slots_.empty() ? kSmallestTable : 2 * slots_.size());
    Slot& slot = slots_[slotOf(value)];
    if (slot.count == 0) {
        slot.value = value;
        ++size_;
    }
    ++slot.count;
}

// The last count of a value frees its slot; the values after it in the same run move back into the
// hole where their search would otherwise stop short of them.
bool AddressCounts::removeOne(std::uint32_t value) {
    if (slots_.empty()) return false;
    std::size_t hole = slotOf(value);
    if (slots_[hole].count == 0) return false;
    if (--slots_[hole].count != 0) return true;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t next = (hole + 1) & mask; slots_[next].count != 0; next = (next + 1) & mask) {
        const std::size_t home = homeOf(slots_[next].value);
        if (((next - home) & mask) >= ((next - hole) & mask)) {
            slots_[hole] = slots_[next];
            hole = next;
        }
    }
    slots_[hole] = Slot{};
    --size_;
    return true;
}

bool AddressCounts::contains(std::uint32_t value) const {
    return !slots_.empty() && slots_[slotOf(value)].count != 0;
}

// Mixes every bit of the value into the slot number: addresses differ mostly in some octets only.
std::size_t AddressCounts::homeOf(std::uint32_t value) const {
    value ^= value >> 16;
    value *= 0x7FEB352Du;
    value ^= value >> 15;
    value *= 0x846CA68Bu;
    value ^= value >> 16;
    return value & (slots_.size() - 1);
}

std::size_t AddressCounts::slotOf(std::uint32_t value) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = homeOf(value);
    while (slots_[slot].count != 0 && slots_[slot].value != value) slot = (slot + 1) & mask;
    return slot;
}

void AddressCounts::rehash(std::size_t capacity) {
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    for (const Slot& slot : old) {
        if (slot.count != 0) slots_[slotOf(slot.value)] = slot;
    }
}

void BanIndex::assign(const std::vector<std::string>& entries) {
    groups_.clear();
    exactTexts_.clear();
    cidrRanges_.clear();
    std::vector<AddressRange> ranges;
    ranges.reserve(entries.size());
    for (const std::string& entry : entries) {
        if (const auto interval = cidrIntervalOf(entry)) {
            ++cidrRanges_[*interval];
            ++exactTexts_[entry];
            continue;
        }
        const std::optional<AddressRange> range = banRangeOf(entry);
        if (range) {
            ranges.push_back(*range);
        } else {
            ++exactTexts_[entry];
        }
    }
    mergeCidrRanges();
    // Each group is sized once for all its ranges instead of growing step by step.
    std::vector<std::pair<std::uint32_t, std::size_t>> rangesPerMask;
    for (const AddressRange& range : ranges) {
        const auto counted = std::find_if(rangesPerMask.begin(), rangesPerMask.end(),
                                          [&range](const auto& masked) { return masked.first == range.mask; });
        if (counted != rangesPerMask.end()) {
            ++counted->second;
        } else {
            rangesPerMask.emplace_back(range.mask, 1);
        }
    }
    for (const auto& [mask, count] : rangesPerMask) groupOf(mask).values.reserve(count);
    for (const AddressRange& range : ranges) groupOf(range.mask).values.add(range.value);
}

void BanIndex::insert(std::string_view entry) {
    if (const auto interval = cidrIntervalOf(entry)) {
        ++cidrRanges_[*interval];
        mergeCidrRanges();
    } else if (const std::optional<AddressRange> range = banRangeOf(entry)) {
        groupOf(range->mask).values.add(range->value);
        return;
    }
    const auto found = exactTexts_.find(entry);
    if (found != exactTexts_.end()) {
        ++found->second;
    } else {
        exactTexts_.emplace(std::string(entry), 1);
    }
}

void BanIndex::erase(std::string_view entry) {
    const auto text = exactTexts_.find(entry);
    if (const auto interval = cidrIntervalOf(entry)) {
        // Only an inserted entry is taken away: its text is counted too.
        if (text == exactTexts_.end()) return;
        const auto found = cidrRanges_.find(*interval);
        if (found != cidrRanges_.end() && --found->second == 0) cidrRanges_.erase(found);
        mergeCidrRanges();
    } else if (const std::optional<AddressRange> range = banRangeOf(entry)) {
        eraseRange(*range);
        return;
    }
    if (text != exactTexts_.end() && --text->second == 0) exactTexts_.erase(text);
}

// A text the address parser reads can still equal a text kept for the exact pass: the parser stops
// at a NUL or after a space, so "10.0 /8" reads as 10.0.0.0 while as an entry it is no CIDR range.
bool BanIndex::isBanned(std::string_view ipText) const {
    if (exactTexts_.find(ipText) != exactTexts_.end()) return true;
    const std::optional<std::uint32_t> peer = banAddressOf(ipText);
    return peer && coversAddress(*peer);
}

bool BanIndex::coversAddress(std::uint32_t address) const {
    return std::any_of(groups_.begin(), groups_.end(),
                       [address](const RangeGroup& group) { return group.values.contains(address & group.mask); }) ||
           cidrCovers(PeerAddress{address, 0}.hostAddress());
}

// The last interval that starts at or before the address is the only one that can hold it.
bool BanIndex::cidrCovers(std::uint32_t hostAddress) const {
    auto after = std::upper_bound(cidrCover_.begin(), cidrCover_.end(), hostAddress,
                                  [](std::uint32_t address, const Interval& interval) { return address < interval.first; });
    if (after == cidrCover_.begin()) return false;
    return hostAddress <= (after - 1)->second;
}

// The ranges come sorted by their first address; overlapping and touching ones become one.
void BanIndex::mergeCidrRanges() {
    cidrCover_.clear();
    for (const auto& [interval, count] : cidrRanges_) {
        if (!cidrCover_.empty() &&
            (interval.first <= cidrCover_.back().second || interval.first - 1 == cidrCover_.back().second)) {
            cidrCover_.back().second = std::max(cidrCover_.back().second, interval.second);
        } else {
            cidrCover_.push_back(interval);
        }
    }
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
    group->values.removeOne(range.value);
    if (group->values.empty()) {
        if (group != groups_.end() - 1) *group = std::move(groups_.back());
        groups_.pop_back();
    }
}

}  // namespace varn
