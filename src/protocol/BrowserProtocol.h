#pragma once

// The browser channel: ASE queries on the query port and their replies, and the heartbeats to the
// ASE master servers. A query or reply starts with one letter. The status reply is "EYE1" and then
// counted texts: one length byte (the number of characters plus one), then the characters.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/Packet.h"
#include "protocol/GameProtocol.h"

namespace varn::browser {

// The query port is the game port plus this, or the next free port in as many attempts.
inline constexpr std::int32_t kQueryPortOffset = 123;
inline constexpr int kQueryPortAttempts = 64;

// Queries, and the letters that start their replies.
inline constexpr std::uint8_t kStatusQuery = 's';
inline constexpr std::uint8_t kGameNameQuery = 'g';
inline constexpr std::uint8_t kPingQuery = 'p';
inline constexpr std::uint8_t kChallengeQuery = 'v';
inline constexpr std::uint8_t kGameNameReply = 'G';
inline constexpr std::uint8_t kPingReply = 'P';
inline constexpr std::uint8_t kChallengeReply = 'V';

// A ping query is echoed, its first letter changed, only when shorter than this.
inline constexpr std::int32_t kPingEchoLimit = 20;
// A master's verification challenge: 'v' and 8 bytes, answered with 'V' and a 32-bit value.
inline constexpr std::size_t kChallengeLength = 8;
inline constexpr std::int32_t kChallengeDatagramLength = 1 + kChallengeLength;

// What the server calls itself towards browsers and masters.
inline constexpr std::string_view kGameName = "varn";
inline constexpr std::string_view kGameType = "VARN";
inline constexpr std::string_view kVersion = "0.3";

// The status reply.
inline constexpr std::string_view kStatusMagic = "EYE1";
inline constexpr std::uint8_t kEndOfRules = 0x01;
inline constexpr std::size_t kMaxCountedTextLength = 254;

// A text longer than a counted text can hold is cut.
template <std::size_t Capacity>
void encodeCountedText(PacketWriter<Capacity>& out, std::string_view text) {
    if (text.size() > kMaxCountedTextLength) text = text.substr(0, kMaxCountedTextLength);
    out.byte(static_cast<std::uint8_t>(text.size() + 1)).text(text);
}

template <std::size_t Capacity>
void encodeCountedNumber(PacketWriter<Capacity>& out, std::int32_t value) {
    char digits[12];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    encodeCountedText(out, std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

// The map name a status reply shows for the Game and GameMode settings.
inline std::string_view mapNameFor(std::int32_t game, std::int32_t gameMode) {
    const bool ironHarbor = game == kGameIronHarbor;
    if (gameMode == kGameModeStunt) return ironHarbor ? "Iron Harbor Stunt" : "Palm Bay Stunt";
    return ironHarbor ? "Iron Harbor" : "Palm Bay";
}

// A status reply below 1364 bytes goes in one datagram; a longer one in pieces of at most 1360
// reply bytes plus a 4-byte identifier, every piece after the first under a 4-byte header of its
// own (the reply's first four bytes, the last one counting up).
inline constexpr std::size_t kWholeReplyBelow = 1364;
inline constexpr std::size_t kPieceHeaderLength = 4;
inline constexpr std::size_t kPieceDataLength = 1360;
inline constexpr std::size_t kPieceIdentifierLength = 4;

// Heartbeats "\hb\<query port>\varn" go to this port of the masters.
inline constexpr std::uint16_t kMasterPort = 27900;
inline constexpr std::size_t kMaxHeartbeatLength = 32;

template <std::size_t Capacity>
void encodeHeartbeat(PacketWriter<Capacity>& out, std::int32_t queryPort) {
    char digits[12];
    const auto end = std::to_chars(digits, digits + sizeof digits, queryPort).ptr;
    out.text("\\hb\\")
        .text(std::string_view(digits, static_cast<std::size_t>(end - digits)))
        .text("\\")
        .text(kGameName);
}

}  // namespace varn::browser
