#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace varn {

// The addresses whose bits under mask equal value; both words in network byte order, so the octets
// lie in the same places as in an address received from the network. Any mask works, not only whole
// octets.
struct AddressRange {
    std::uint32_t value = 0;
    std::uint32_t mask = 0;

    bool covers(std::uint32_t address) const { return (address & mask) == value; }
    friend bool operator==(const AddressRange&, const AddressRange&) = default;
};

// The address a text stands for in network byte order, as the IPv4 text parser reads it (fewer than
// four parts, octal and hexadecimal numbers included), or nothing when the parser rejects the text.
// Ban entries and peers' texts are read alike.
std::optional<std::uint32_t> banAddressOf(std::string_view text);

// The range a ban entry stands for: its address with every 0 octet left out of the mask, so 10.0.5.0
// covers 10.x.5.y and 0.0.0.0 covers every address; for a CIDR entry a.b.c.d/n the first n bits of
// its address, whatever its octets (10.0.0.0/8 covers 10.x.y.z, 0.0.0.0/0 every address). Nothing
// for a text the parser rejects: such an entry only ever matches by its exact text.
std::optional<AddressRange> banRangeOf(std::string_view entry);
// Whether an entry is written as a CIDR range (it holds a '/').
bool isCidrEntry(std::string_view entry);

// A count per 32-bit value in one open-addressed table (linear probing, at most half full), so that
// a hundred thousand values load without an allocation each and a look-up touches one or two slots.
class AddressCounts {
public:
    // Makes room for this many values in all without growing again.
    void reserve(std::size_t count);
    void add(std::uint32_t value);
    // Takes one count away; false when the value is not there.
    bool removeOne(std::uint32_t value);
    bool contains(std::uint32_t value) const;
    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }

private:
    // A slot with count 0 is free.
    struct Slot {
        std::uint32_t value = 0;
        std::uint32_t count = 0;
    };

    std::size_t homeOf(std::uint32_t value) const;
    // The slot holding the value, or the free slot where the search for it ended.
    std::size_t slotOf(std::uint32_t value) const;
    void rehash(std::size_t capacity);

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

// What the ban test asks of the entries, kept up to date as entries are added and removed so that a
// test costs a few look-ups however long the list is: one hash look-up per octet mask in use (at
// most 16) and one binary search over the CIDR ranges. An entry that the parser reads is kept as
// its range, in a group with the other ranges of the same mask; one that it rejects is kept as its
// text. A CIDR entry is kept as its interval of addresses, the union of all of them as sorted
// disjoint intervals, and as its text too. The exact pass needs no more than that: an entry with
// exactly the peer's text reads as the same address, so its range covers the peer anyway, and only
// a text kept as text can match by text alone; a test of a text looks those up first, a test of an
// address need not (no dotted address is such a text). Each occurrence is counted, so duplicates
// and the removal of one of them come out right.
class BanIndex {
public:
    // Replaces the whole index, parsing every entry once.
    void assign(const std::vector<std::string>& entries);
    void insert(std::string_view entry);
    // Takes away one occurrence of an inserted entry; nothing happens for a text that is not in.
    void erase(std::string_view entry);

    // The whole ban test of a peer's text: the exact text of an entry, or a range that covers the
    // address the text reads as.
    bool isBanned(std::string_view ipText) const;
    // The ban test of an address (network byte order); the same answer as for its dotted text.
    bool coversAddress(std::uint32_t address) const;

private:
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };
    // The ranges that share one mask: values with their number of entries.
    struct RangeGroup {
        std::uint32_t mask = 0;
        AddressCounts values;
    };

    // A CIDR range's first and last address, host byte order.
    using Interval = std::pair<std::uint32_t, std::uint32_t>;

    RangeGroup& groupOf(std::uint32_t mask);
    void eraseRange(const AddressRange& range);
    bool cidrCovers(std::uint32_t hostAddress) const;
    void mergeCidrRanges();

    std::vector<RangeGroup> groups_;
    // Each CIDR interval with its number of entries, and their union for the test.
    std::map<Interval, std::uint32_t> cidrRanges_;
    std::vector<Interval> cidrCover_;
    std::unordered_map<std::string, std::uint32_t, TextHash, std::equal_to<>> exactTexts_;
};

}  // namespace varn
