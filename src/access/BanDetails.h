#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varn {

// What a ban file line may tell beside its entry, after " # ": "until=" and "at=" (UTC dates such as
// 2026-12-31T00:00:00Z), "by=" (an admin's name, or join-flood / chat-flood), and last "reason=",
// which runs to the end of the line. A line without " # " is an entry and nothing else.
struct BanDetails {
    std::optional<std::int64_t> until;
    std::string by;
    std::optional<std::int64_t> at;
    std::string reason;

    bool empty() const { return !until && by.empty() && !at && reason.empty(); }
};

inline constexpr std::string_view kBanDetailsSeparator = " # ";
inline constexpr std::size_t kMaxBanReasonLength = 120;
inline constexpr std::string_view kJoinFloodBanner = "join-flood";
inline constexpr std::string_view kChatFloodBanner = "chat-flood";

// One line of the ban file, split. The entry is what matching, listing and unban use; the details
// text is kept as written, so that a line is saved back byte for byte whatever it holds.
struct BanLine {
    std::string_view entry;
    bool hasDetails = false;
    std::string_view detailsText;
    BanDetails details;
    // Details that could not be read (an unknown key, a bad date, a value with a space): kept in
    // detailsText, left out of details.
    std::size_t unreadableDetails = 0;
};

BanLine readBanLine(std::string_view line);
// The details text of a line, in the order until, by, at, reason; empty details give an empty text.
std::string banDetailsText(const BanDetails& details);

// A value from the network made safe to store: every byte outside '!'..'~', and every '#' and '=',
// becomes '?', so that it cannot end a line or start another detail.
std::string banDetailValue(std::string_view received);
// A reason from the network made safe to store: every byte outside ' '..'~' becomes '?'.
std::string banReasonValue(std::string_view received);

// Seconds since 1970-01-01T00:00:00Z written as "YYYY-MM-DDTHH:MM:SSZ", and read back; nothing for a
// text of any other form or a date that does not exist.
std::string utcDateText(std::int64_t seconds);
std::optional<std::int64_t> readUtcDate(std::string_view text);

}  // namespace varn
