#pragma once

// The admin channel: the requests an administrator's client sends to the admin port and the
// server's answers. Every message is one datagram: byte 0 is the id, then single bytes and texts.
// The rest of what an administrator receives is the game's: the welcome, the notice that refuses a
// join, the ping request, and the broadcasts players get too (GameProtocol.h).

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "protocol/Packet.h"
#include "protocol/GameProtocol.h"

namespace varn::admin {

// Requests, admin client to server.
inline constexpr std::uint8_t kQuit = 2;
inline constexpr std::uint8_t kSay = 3;
inline constexpr std::uint8_t kPingAnswer = 5;
inline constexpr std::uint8_t kJoin = 13;
inline constexpr std::uint8_t kKick = 14;
inline constexpr std::uint8_t kBan = 15;
inline constexpr std::uint8_t kUnban = 16;
inline constexpr std::uint8_t kListBans = 17;
inline constexpr std::uint8_t kShutdown = 18;
inline constexpr std::uint8_t kReloadMotd = 26;
inline constexpr std::uint8_t kSetServerPassword = 27;
inline constexpr std::uint8_t kAddBan = 28;
inline constexpr std::uint8_t kPlayerAddress = 29;

// Additions beside the ids above, which answer as they always did; u32 is little-endian.
// [30][player id][seconds: u32][reason][0]: ban a player for a time (0 seconds: for ever).
inline constexpr std::uint8_t kBanFor = 30;
// [31][seconds: u32][entry][0][reason][0]: add an entry (address, octet-0 range or CIDR range).
inline constexpr std::uint8_t kAddBanFor = 31;
// [32][first entry: u32]: one page of the ban list's lines with their details.
inline constexpr std::uint8_t kListBanLines = 32;
// Reloads the scripts: [33][1] when the new scripts run, [33][0] when the old ones stay. Answered only
// when the server has scripts.
inline constexpr std::uint8_t kReloadScripts = 33;
inline constexpr std::uint8_t kHighestCommand = kReloadScripts;

// [30] and [31] answer [id][kDone], or [id][kNotDone][one of these reasons].
inline constexpr std::uint8_t kBanRefusedMalformed = 1;
inline constexpr std::uint8_t kBanRefusedDuration = 2;
inline constexpr std::uint8_t kBanRefusedEntry = 3;
inline constexpr std::uint8_t kBanRefusedReasonTooLong = 4;
inline constexpr std::uint8_t kBanRefusedNoPlayer = 5;
// Where the fields of [30] and [31] start, counted from the byte after the id.
inline constexpr std::size_t kBanForSecondsAt = 1;
inline constexpr std::size_t kBanForReasonAt = 5;
inline constexpr std::size_t kAddBanForSecondsAt = 0;
inline constexpr std::size_t kAddBanForEntryAt = 4;
// The longest time limit: ten years.
inline constexpr std::uint32_t kMaxBanSeconds = 3650u * 86400u;
inline constexpr std::size_t kMaxBanReason = 120;
// The longest entry text read from [31]: "255.255.255.255/32" is 18 bytes.
inline constexpr std::size_t kMaxBanEntryText = 31;
// [32][first entry: u32][entries in the list: u32][lines, each ended by '\n'], whole lines up to
// kBanListReplySize bytes; a single line longer than a page is cut.
inline constexpr std::size_t kBanLinesHeader = 9;
inline constexpr char kBanLineEnd = '\n';

// The answers to unban, list bans, shut-down, reload, set password, add ban and player address
// carry the id of their request, then these bytes.
inline constexpr std::uint8_t kDone = 1;
inline constexpr std::uint8_t kNotDone = 0;
inline constexpr std::uint8_t kShutdownArmed = 1;
inline constexpr std::uint8_t kShutdownTooLate = 2;
inline constexpr std::uint8_t kShutdownNow = 3;
inline constexpr std::uint8_t kShutdownDisabled = 4;

// A refused admin join gets the game's notice [6][reason], with these of its reasons.
inline constexpr std::uint8_t kRefusedNameInUse = notice::kNameRefused;
inline constexpr std::uint8_t kRefusedBanned = notice::kBanned;
inline constexpr std::uint8_t kRefusedAlreadyAdmin = notice::kAlreadyJoined;
inline constexpr std::uint8_t kRefusedWrongPassword = notice::kWrongPassword;
inline constexpr std::uint8_t kRefusedWrongVersion = notice::kWrongVersion;

inline constexpr std::uint8_t kProtocolVersion = 25;
inline constexpr std::uint16_t kDefaultPort = 4003;
// The join's name ends at the game's name end byte ('|').
inline constexpr std::size_t kMaxNameLength = 13;
// A say datagram is used up to 129 bytes: id, chat kind and at most 127 text bytes.
inline constexpr std::size_t kMaxSayDatagram = 129;
inline constexpr std::size_t kMaxUnbanText = 31;
inline constexpr std::size_t kMaxServerPassword = 32;
inline constexpr std::size_t kMaxAddBanText = 20;
// An added ban keeps only digits and dots, and needs at least this many of them.
inline constexpr std::size_t kMinAddBanLength = 7;
inline constexpr std::int64_t kShutdownWindowSeconds = 5;
// The ban list reply: [17], then every entry followed by the separator, whole entries only.
inline constexpr std::size_t kBanListReplySize = 1024;
inline constexpr char kBanListSeparator = '|';

// The join [13][version][name]['|'][password][0].
template <std::size_t Capacity>
void encodeJoin(PacketWriter<Capacity>& out, std::string_view name, std::string_view password) {
    out.byte(kJoin).byte(kProtocolVersion).text(name).byte(kNameEnd).text(password).byte(0);
}

// [3][chat kind][text][0]; the server relays it as a chat line from the admin's id.
template <std::size_t Capacity>
void encodeSay(PacketWriter<Capacity>& out, std::uint8_t kind, std::string_view text) {
    out.byte(kSay).byte(kind).text(text).byte(0);
}

// The requests that carry one text: unban, set server password, add ban.
template <std::size_t Capacity>
void encodeTextRequest(PacketWriter<Capacity>& out, std::uint8_t id, std::string_view text) {
    out.byte(id).text(text).byte(0);
}

// The requests about one player: kick, ban, player address.
inline constexpr std::array<std::uint8_t, 2> encodePlayerRequest(std::uint8_t id, std::uint8_t playerId) {
    return {id, playerId};
}

// [30][player id][seconds][reason][0].
template <std::size_t Capacity>
void encodeBanFor(PacketWriter<Capacity>& out, std::uint8_t playerId, std::uint32_t seconds,
                  std::string_view reason) {
    out.byte(kBanFor).byte(playerId).uint32(seconds).text(reason).byte(0);
}

// [31][seconds][entry][0][reason][0].
template <std::size_t Capacity>
void encodeAddBanFor(PacketWriter<Capacity>& out, std::uint32_t seconds, std::string_view entry,
                     std::string_view reason) {
    out.byte(kAddBanFor).uint32(seconds).text(entry).byte(0).text(reason).byte(0);
}

// [request id][answer byte].
inline constexpr std::array<std::uint8_t, 2> encodeAnswer(std::uint8_t requestId, std::uint8_t value) {
    return {requestId, value};
}

// A refused timed ban or entry: [request id][0][reason code].
inline constexpr std::array<std::uint8_t, 3> encodeBanRefusal(std::uint8_t requestId, std::uint8_t reason) {
    return {requestId, kNotDone, reason};
}

// The reason code of a refused timed ban or entry; 0 when the reply carries none.
inline std::uint8_t decodeBanRefusal(const PacketReader& reply) { return reply.byteAt(2).value_or(0); }

// The answer byte of a reply to the request id, or nothing when the reply is another or has none.
inline std::optional<std::uint8_t> decodeAnswer(const PacketReader& reply, std::uint8_t requestId) {
    if (reply.byteAt(0) != requestId) return std::nullopt;
    return reply.byteAt(1);
}

}  // namespace varn::admin
