#include "access/BanIndex.h"

#include <algorithm>
#include <utility>

#include "net/PeerAddress.h"

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

std::optional<AddressRange> banRangeOf(std::string_view entry) {
    const std::optional<std::uint32_t> address = banAddressOf(entry);
    if (!address) return std::nullopt;
    std::uint32_t mask = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        if (((*address >> shift) & 0xFFu) != 0) mask |= 0xFFu << shift;
    }
    return AddressRange{*address, mask};
}

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
    groupOf(range->mask).values.add(range->value);
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
        return group.values.contains(address & group.mask);
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
    group->values.removeOne(range.value);
    if (group->values.empty()) {
        if (group != groups_.end() - 1) *group = std::move(groups_.back());
        groups_.pop_back();
    }
}

}  // namespace varn
