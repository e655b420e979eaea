#pragma once

// The bytes of the admin protocol, shared by the server and the operators' admin client (which
// includes nothing else of the server). Every message is one datagram: byte 0 is the id, then
// single bytes and texts; the welcome and the score and ping reports carry little-endian integers.

#include <cstddef>
#include <cstdint>

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

// The answers to unban, list bans, shut-down, reload, set password, add ban and player address
// carry the id of their request.

// Server to admin: the welcome, the refusal notice and what an admin follows of the game.
inline constexpr std::uint8_t kWelcome = 1;
inline constexpr std::uint8_t kChat = 3;
inline constexpr std::uint8_t kPing = 4;
inline constexpr std::uint8_t kNotice = 6;
inline constexpr std::uint8_t kPlayerJoined = 8;
inline constexpr std::uint8_t kPlayerLeft = 9;
inline constexpr std::uint8_t kDeath = 11;
inline constexpr std::uint8_t kScore = 12;
inline constexpr std::uint8_t kMessageOfTheDay = 21;
inline constexpr std::uint8_t kPlayerPing = 22;

// The reason byte of [6][reason]: join refusals, and the notice a kicked or banned player gets.
inline constexpr std::uint8_t kRefusedNameInUse = 0;
inline constexpr std::uint8_t kRefusedBanned = 1;
inline constexpr std::uint8_t kRefusedAlreadyAdmin = 2;
inline constexpr std::uint8_t kNoticeKicked = 3;
inline constexpr std::uint8_t kNoticeBanned = 1;
inline constexpr std::uint8_t kRefusedWrongPassword = 4;
inline constexpr std::uint8_t kRefusedWrongVersion = 6;

// The reason byte of the player-left broadcast [9][reason][player id].
inline constexpr std::uint8_t kLeftQuit = 0;
inline constexpr std::uint8_t kLeftKickedOrBanned = 1;
inline constexpr std::uint8_t kLeftTimeout = 2;
inline constexpr std::uint8_t kLeftChatFlood = 3;
inline constexpr std::uint8_t kLeftTrainer = 4;
inline constexpr std::uint8_t kLeftCrcMismatch = 5;
inline constexpr std::uint8_t kLeftCrcUnanswered = 6;

// Answer bytes.
inline constexpr std::uint8_t kDone = 1;
inline constexpr std::uint8_t kNotDone = 0;
inline constexpr std::uint8_t kShutdownArmed = 1;
inline constexpr std::uint8_t kShutdownTooLate = 2;
inline constexpr std::uint8_t kShutdownNow = 3;
inline constexpr std::uint8_t kShutdownDisabled = 4;

inline constexpr std::uint8_t kProtocolVersion = 25;
inline constexpr std::uint8_t kNameEnd = '|';
inline constexpr std::size_t kMaxNameLength = 13;
// A say datagram is used up to 129 bytes: id, chat kind and at most 127 text bytes.
inline constexpr std::size_t kMaxSayDatagram = 129;
inline constexpr std::size_t kMaxUnbanText = 31;
inline constexpr std::size_t kMaxServerPassword = 32;
inline constexpr std::size_t kMaxAddBanText = 20;
// An added ban keeps only digits and dots, and needs at least this many of them.
inline constexpr std::size_t kMinAddBanLength = 7;
inline constexpr std::int64_t kShutdownWindowSeconds = 5;
inline constexpr std::size_t kBanListReplySize = 1024;
inline constexpr std::uint16_t kDefaultPort = 4003;

// The welcome: a 17-byte header (the admin's id at offset 3), then per player its id, its 16-bit
// score, its name and this end byte.
inline constexpr std::size_t kWelcomeHeaderSize = 17;
inline constexpr std::size_t kWelcomeIdOffset = 3;
inline constexpr std::uint8_t kWelcomeEntryEnd = 7;

}  // namespace varn::admin
