#pragma once

// The forms of a ban entry that an administrator may add: a dotted IPv4 address of four decimal
// numbers 0..255, where an octet written as 0 matches any value (10.0.0.0 bans 10.x.y.z), or a CIDR
// range a.b.c.d/n (n 0..32) that bans the addresses whose first n bits equal those of a.b.c.d; in a
// CIDR range a 0 octet is an ordinary 0. Shared by the server, which checks an added entry, and by
// varnadmin, which checks one before it sends it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace varn::banentry {

// The entry form without "/n": every 0 octet is a wildcard.
inline constexpr int kWholeOctets = -1;
inline constexpr int kMaxPrefixLength = 32;
inline constexpr char kPrefixSeparator = '/';

struct EntryForm {
    // Host byte order: the first octet written is the highest byte.
    std::uint32_t address = 0;
    int prefixLength = kWholeOctets;

    // The mask in host byte order: the first prefixLength bits, or every octet that is not 0.
    std::uint32_t hostMask() const {
        if (prefixLength == kWholeOctets) {
            std::uint32_t mask = 0;
            for (int shift = 0; shift < 32; shift += 8) {
                if (((address >> shift) & 0xFFu) != 0) mask |= 0xFFu << shift;
            }
            return mask;
        }
        return prefixLength == 0 ? 0u : ~0u << (32 - prefixLength);
    }
    bool covers(std::uint32_t hostAddress) const {
        const std::uint32_t mask = hostMask();
        return (hostAddress & mask) == (address & mask);
    }
};

// A decimal number of 1 to maxDigits digits, without a leading 0 unless it is 0 itself, so that a
// number never reads as octal anywhere.
inline std::optional<unsigned> readDecimal(std::string_view text, std::size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits || (text.size() > 1 && text[0] == '0')) return std::nullopt;
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value;
}

// The form of an entry text, or nothing when it is neither of the accepted forms.
inline std::optional<EntryForm> readEntryForm(std::string_view text) {
    EntryForm form;
    const std::size_t slash = text.find(kPrefixSeparator);
    if (slash != std::string_view::npos) {
        const auto prefix = readDecimal(text.substr(slash + 1), 2);
        if (!prefix || *prefix > kMaxPrefixLength) return std::nullopt;
        form.prefixLength = static_cast<int>(*prefix);
        text = text.substr(0, slash);
    }
    // Exactly four numbers and three dots.
    for (int octet = 0; octet < 4; ++octet) {
        const std::size_t dot = text.find('.');
        if ((octet < 3) != (dot != std::string_view::npos)) return std::nullopt;
        const auto value = readDecimal(text.substr(0, dot), 3);
        if (!value || *value > 255) return std::nullopt;
        form.address = form.address << 8 | *value;
        text = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
    }
    return form;
}

}  // namespace varn::banentry
