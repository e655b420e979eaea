#pragma once

#include <cstddef>
#include <cstdint>

namespace varn {

// Command ids and fixed values of the game protocol.
namespace command {
inline constexpr std::int32_t kJoin = 1;
inline constexpr std::int32_t kQuit = 2;
inline constexpr std::int32_t kChat = 3;
inline constexpr std::int32_t kPingRequest = 4;
inline constexpr std::int32_t kPingReply = 5;
inline constexpr std::int32_t kNotice = 6;
inline constexpr std::int32_t kPlayerJoined = 8;
inline constexpr std::int32_t kPlayerLeft = 9;
inline constexpr std::int32_t kSync = 10;
inline constexpr std::int32_t kDeath = 11;
inline constexpr std::int32_t kScore = 12;
inline constexpr std::int32_t kTrainerReport = 19;
inline constexpr std::int32_t kNameQuery = 20;
inline constexpr std::int32_t kPlayerPing = 22;
inline constexpr std::int32_t kSharedByte = 23;
inline constexpr std::int32_t kSharedByteQuery = 24;
inline constexpr std::int32_t kClientCrc = 25;
}  // namespace command

// The reason byte of the notice [6][reason].
namespace notice {
inline constexpr std::uint8_t kNameRefused = 0;
inline constexpr std::uint8_t kBanned = 1;
inline constexpr std::uint8_t kAlreadyJoined = 2;
inline constexpr std::uint8_t kRemoved = 3;
inline constexpr std::uint8_t kWrongPassword = 4;
inline constexpr std::uint8_t kWrongVersion = 6;
inline constexpr std::uint8_t kServerFull = 7;
inline constexpr std::uint8_t kCrcMismatch = 8;
inline constexpr std::uint8_t kCrcUnanswered = 9;
}  // namespace notice

// The reason byte of the player-left broadcast [9][reason][id].
namespace leftReason {
inline constexpr std::uint8_t kQuit = 0;
inline constexpr std::uint8_t kKickedOrBanned = 1;
inline constexpr std::uint8_t kTimeout = 2;
inline constexpr std::uint8_t kChatFlood = 3;
inline constexpr std::uint8_t kTrainer = 4;
inline constexpr std::uint8_t kCrcMismatch = 5;
inline constexpr std::uint8_t kCrcUnanswered = 6;
}  // namespace leftReason

inline constexpr std::uint8_t kProtocolVersion = 24;
inline constexpr std::size_t kMaxPlayerNameLength = 12;
inline constexpr std::uint8_t kNameEnd = '|';
// A byte 2 in a name or chat text starts a 6-byte colour code that is skipped whole.
inline constexpr std::uint8_t kColourCode = 2;
inline constexpr std::size_t kColourCodeLength = 6;
inline constexpr char kStatSeparator = static_cast<char>(0xA9);

inline bool isPrintable(std::uint8_t byte) { return byte >= 0x20 && byte <= 0x7E; }

}  // namespace varn
