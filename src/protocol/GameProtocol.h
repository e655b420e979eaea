#pragma once

// The game channel: the datagrams between the players' clients and the game port, and the game
// messages an administrator receives on the admin port. Byte 0 is the command id, read as a signed
// byte; player ids are one byte; wider integers are little-endian; texts are raw bytes with a NUL
// only where a layout shows one. Shared by the server, the operators' tools, the load generator
// and the fuzz targets: it uses nothing of the server but the packet reader and writer.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Packet.h"

namespace varn {

// Command ids, in both directions.
namespace command {
inline constexpr std::uint8_t kJoin = 1;
// The answer to an accepted join, of a player or an administrator, carries the join's id.
inline constexpr std::uint8_t kWelcome = 1;
inline constexpr std::uint8_t kQuit = 2;
inline constexpr std::uint8_t kChat = 3;
inline constexpr std::uint8_t kPingRequest = 4;
inline constexpr std::uint8_t kPingReply = 5;
inline constexpr std::uint8_t kNotice = 6;
inline constexpr std::uint8_t kPlayerJoined = 8;
inline constexpr std::uint8_t kPlayerLeft = 9;
inline constexpr std::uint8_t kSync = 10;
inline constexpr std::uint8_t kDeath = 11;
inline constexpr std::uint8_t kScore = 12;
inline constexpr std::uint8_t kTrainerReport = 19;
inline constexpr std::uint8_t kNameQuery = 20;
inline constexpr std::uint8_t kMessageOfTheDay = 21;
inline constexpr std::uint8_t kPlayerPing = 22;
inline constexpr std::uint8_t kSharedByte = 23;
inline constexpr std::uint8_t kSharedByteQuery = 24;
inline constexpr std::uint8_t kClientCrc = 25;
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
// The server reads datagrams of at most this many bytes, the command id included, on either port.
inline constexpr std::size_t kMaxDatagramSize = 1024;
// The most players one session holds.
inline constexpr std::int32_t kMaxPlayers = 26;

// The Game and GameMode settings as the welcome passes them on; the stunt mode changes the first
// check value of the welcome and the map name browsers show.
inline constexpr std::int32_t kGameIronHarbor = 1;
inline constexpr std::int32_t kGamePalmBay = 2;
inline constexpr std::int32_t kGameModeRegular = 1;
inline constexpr std::int32_t kGameModeStunt = 2;

// Names: a join's name ends at this byte and keeps at most 12 printable characters.
inline constexpr std::size_t kMaxPlayerNameLength = 12;
inline constexpr std::uint8_t kNameEnd = '|';
// A byte 2 in a name or chat text starts a 6-byte colour code that is skipped whole.
inline constexpr std::uint8_t kColourCode = 2;
inline constexpr std::size_t kColourCodeLength = 6;

inline bool isPrintable(std::uint8_t byte) { return byte >= 0x20 && byte <= 0x7E; }

// Ids and byte values read from packets count as signed bytes wherever they are compared or logged.
inline constexpr std::int32_t signedByte(std::uint8_t value) { return static_cast<std::int8_t>(value); }

// Chat: at most 129 bytes of a chat datagram are read, so at most 128 text bytes; a chat of this
// kind is logged but not relayed. "/msg " starts a private message, "/msgr " the sender's receipt.
inline constexpr std::int32_t kMaxChatDatagram = 129;
inline constexpr std::size_t kMaxChatText = 128;
inline constexpr std::uint8_t kChatKindNotRelayed = 3;
inline constexpr std::string_view kPrivateMessage = "/msg ";
inline constexpr std::string_view kPrivateReceipt = "/msgr ";

// The answer to the check-sum request [25] that a genuine client gives.
inline constexpr std::uint32_t kExpectedClientCrc = 0x1C3D6C3F;

// The message of the day, [21][text][0], goes out cut at this length.
inline constexpr std::size_t kMaxMessageOfTheDayDatagram = 1000;

// The welcome: a 17-byte header, then one entry per listed player: id, 16-bit score, name and an end
// byte. The three check values are the client's; the first depends on the game mode.
inline constexpr std::size_t kWelcomeHeaderSize = 17;
inline constexpr std::size_t kWelcomePeerIdOffset = 3;
inline constexpr std::uint8_t kWelcomeEntryEnd = 7;
inline constexpr std::uint32_t kWelcomeRegularCheck = 0x490C0E21;
inline constexpr std::uint32_t kWelcomeStuntCheck = 0x5D8533CA;
inline constexpr std::uint32_t kWelcomeSecondCheck = 0xE63869A0;
inline constexpr std::uint32_t kWelcomeThirdCheck = 0x118D5814;

struct WelcomeHeader {
    std::uint8_t game = 0;
    std::uint8_t gameMode = 0;
    // The id of the player or administrator welcomed.
    std::uint8_t peerId = 0;
    std::uint8_t maxPlayers = 0;
};

struct WelcomeEntry {
    std::uint8_t id = 0;
    std::int16_t score = 0;
    std::string name;
};

struct Welcome {
    WelcomeHeader header;
    std::vector<WelcomeEntry> players;
};

template <std::size_t Capacity>
void encodeWelcomeHeader(PacketWriter<Capacity>& out, const WelcomeHeader& header) {
    out.byte(command::kWelcome)
        .byte(header.game)
        .byte(header.gameMode)
        .byte(header.peerId)
        .byte(header.maxPlayers)
        .uint32(header.gameMode == kGameModeStunt ? kWelcomeStuntCheck : kWelcomeRegularCheck)
        .uint32(kWelcomeSecondCheck)
        .uint32(kWelcomeThirdCheck);
}

template <std::size_t Capacity>
void encodeWelcomeEntry(PacketWriter<Capacity>& out, std::uint8_t id, std::int16_t score,
                        std::string_view name) {
    out.byte(id).uint16(static_cast<std::uint16_t>(score)).text(name).byte(kWelcomeEntryEnd);
}

// The welcome in a datagram, or nothing when it is none or shorter than its header. An entry needs
// its id and score; its name runs to the end byte or to the end of the datagram.
inline std::optional<Welcome> decodeWelcome(const PacketReader& datagram) {
    if (datagram.byteAt(0) != command::kWelcome || datagram.size() < kWelcomeHeaderSize) {
        return std::nullopt;
    }
    Welcome welcome;
    welcome.header = {*datagram.byteAt(1), *datagram.byteAt(2), *datagram.byteAt(kWelcomePeerIdOffset),
                      *datagram.byteAt(4)};
    std::size_t index = kWelcomeHeaderSize;
    while (const std::optional<std::uint16_t> score = datagram.uint16At(index + 1)) {
        WelcomeEntry entry;
        entry.id = *datagram.byteAt(index);
        entry.score = static_cast<std::int16_t>(*score);
        index += 3;
        while (index < datagram.size() && *datagram.byteAt(index) != kWelcomeEntryEnd) {
            entry.name.push_back(static_cast<char>(*datagram.byteAt(index++)));
        }
        ++index;  // the end byte
        welcome.players.push_back(std::move(entry));
    }
    return welcome;
}

// The join request [1][version][name]['|'][password][0].
template <std::size_t Capacity>
void encodeJoin(PacketWriter<Capacity>& out, std::string_view name, std::string_view password) {
    out.byte(command::kJoin).byte(kProtocolVersion).text(name).byte(kNameEnd).text(password).byte(0);
}

// The notice [6][reason] to one peer, and the bare refusal [6] without a reason.
inline constexpr std::array<std::uint8_t, 2> encodeNotice(std::uint8_t reason) {
    return {command::kNotice, reason};
}
inline constexpr std::array<std::uint8_t, 1> encodeBareNotice() { return {command::kNotice}; }

// The reason of a notice with one; nothing for the bare refusal or another message.
inline std::optional<std::uint8_t> decodeNotice(const PacketReader& datagram) {
    if (datagram.byteAt(0) != command::kNotice) return std::nullopt;
    return datagram.byteAt(1);
}

// [9][reason][id]: a player is gone.
struct PlayerLeftPacket {
    std::uint8_t reason = 0;
    std::uint8_t playerId = 0;
};

inline constexpr std::array<std::uint8_t, 3> encodePlayerLeft(std::uint8_t reason, std::uint8_t playerId) {
    return {command::kPlayerLeft, reason, playerId};
}

inline std::optional<PlayerLeftPacket> decodePlayerLeft(const PacketReader& datagram) {
    if (datagram.byteAt(0) != command::kPlayerLeft || datagram.size() < 3) return std::nullopt;
    return PlayerLeftPacket{*datagram.byteAt(1), *datagram.byteAt(2)};
}

// [8][id][name] to the players; administrators get [8][id][name][0][IP text].
struct PlayerJoinedPacket {
    std::uint8_t playerId = 0;
    std::string_view name;
    std::string_view address;
};

template <std::size_t Capacity>
void encodePlayerJoined(PacketWriter<Capacity>& out, std::uint8_t playerId, std::string_view name) {
    out.byte(command::kPlayerJoined).byte(playerId).text(name);
}

template <std::size_t Capacity>
void appendJoinedAddress(PacketWriter<Capacity>& out, std::string_view ipText) {
    out.byte(0).text(ipText);
}

// The texts are views into the datagram.
inline std::optional<PlayerJoinedPacket> decodePlayerJoined(const PacketReader& datagram) {
    if (datagram.byteAt(0) != command::kPlayerJoined || datagram.size() < 2) return std::nullopt;
    PlayerJoinedPacket joined{*datagram.byteAt(1), datagram.textAt(2), {}};
    joined.address = datagram.textAt(3 + joined.name.size());
    return joined;
}

// A chat line as the server relays it: [3][sender id][kind][prefix][text][0].
struct ChatLine {
    std::uint8_t senderId = 0;
    std::uint8_t kind = 0;
    std::string_view text;
};

template <std::size_t Capacity>
void encodeChat(PacketWriter<Capacity>& out, std::uint8_t senderId, std::uint8_t kind,
                std::string_view prefix, std::string_view text) {
    out.byte(command::kChat).byte(senderId).byte(kind).text(prefix).text(text).byte(0);
}

inline std::optional<ChatLine> decodeChat(const PacketReader& datagram) {
    if (datagram.byteAt(0) != command::kChat || datagram.size() < 3) return std::nullopt;
    return ChatLine{*datagram.byteAt(1), *datagram.byteAt(2), datagram.textAt(3)};
}

// [11][victim id][killer id]: the killer byte as the victim's client reported it.
struct Death {
    std::uint8_t victimId = 0;
    std::int32_t killerId = 0;
};

inline constexpr std::array<std::uint8_t, 3> encodeDeath(std::uint8_t victimId, std::uint8_t killerByte) {
    return {command::kDeath, victimId, killerByte};
}

inline std::optional<Death> decodeDeath(const PacketReader& datagram) {
    if (datagram.byteAt(0) != command::kDeath || datagram.size() < 3) return std::nullopt;
    return Death{*datagram.byteAt(1), signedByte(*datagram.byteAt(2))};
}

// [12][id][score, 2]: a player's new score.
struct Score {
    std::uint8_t playerId = 0;
    std::int16_t score = 0;
};

inline constexpr std::array<std::uint8_t, 4> encodeScore(std::uint8_t playerId, std::int16_t score) {
    const auto bits = static_cast<std::uint16_t>(score);
    return {command::kScore, playerId, static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8)};
}

inline std::optional<Score> decodeScore(const PacketReader& datagram) {
    if (datagram.byteAt(0) != command::kScore || datagram.size() < 4) return std::nullopt;
    return Score{*datagram.byteAt(1), static_cast<std::int16_t>(*datagram.uint16At(2))};
}

// [22][id][milliseconds, 2]: a player's ping.
struct PlayerPing {
    std::uint8_t playerId = 0;
    std::uint16_t milliseconds = 0;
};

inline constexpr std::array<std::uint8_t, 4> encodePlayerPing(std::uint8_t playerId,
                                                              std::uint16_t milliseconds) {
    return {command::kPlayerPing, playerId, static_cast<std::uint8_t>(milliseconds),
            static_cast<std::uint8_t>(milliseconds >> 8)};
}

inline std::optional<PlayerPing> decodePlayerPing(const PacketReader& datagram) {
    if (datagram.byteAt(0) != command::kPlayerPing || datagram.size() < 4) return std::nullopt;
    return PlayerPing{*datagram.byteAt(1), *datagram.uint16At(2)};
}

// The text of the message of the day, [21][text][0].
inline std::optional<std::string_view> decodeMessageOfTheDay(const PacketReader& datagram) {
    if (datagram.byteAt(0) != command::kMessageOfTheDay) return std::nullopt;
    return datagram.textAt(1);
}

// The client's answer to the check-sum request: [25][check-sum, 4].
inline constexpr std::array<std::uint8_t, 5> encodeClientCrcReply(std::uint32_t checksum) {
    return {command::kClientCrc, static_cast<std::uint8_t>(checksum),
            static_cast<std::uint8_t>(checksum >> 8), static_cast<std::uint8_t>(checksum >> 16),
            static_cast<std::uint8_t>(checksum >> 24)};
}

// The state sync [10][payload] and its relay [10][sender id][payload]. The payload is a state byte,
// for states 0 to 100 a 32-bit value, then tagged values to the end.
namespace sync {

inline constexpr std::size_t kMaxPayload = kMaxDatagramSize - 1;
inline constexpr std::size_t kRelayHeaderLength = 2;

// State byte: 0 on foot with a 32-bit value, 1..100 driver of that vehicle with a 32-bit value,
// 101..200 passenger of vehicle s - 100, above that on foot without a value.
inline constexpr std::uint8_t kOnFootState = 0;
inline constexpr std::uint8_t kLastDriverState = 100;
inline constexpr std::uint8_t kLastPassengerState = 200;
inline constexpr std::uint8_t kPassengerStateOffset = 100;
inline constexpr std::size_t kStateWordOffset = 1;
inline constexpr std::size_t kTagsAfterStateWord = 5;
inline constexpr std::size_t kTagsWithoutStateWord = 1;

// The tags the server reads by name: the player's position, the two one-byte values the reduced
// report keeps, a 12-byte value it neither reads nor stores, and the vehicle's position and
// tag 14.
inline constexpr std::uint8_t kPositionTag = 1;
inline constexpr std::uint8_t kTag2 = 2;
inline constexpr std::uint8_t kTag3 = 3;
inline constexpr std::uint8_t kUnstoredTag10 = 10;
inline constexpr std::uint8_t kVehiclePositionTag = 13;
inline constexpr std::uint8_t kVehicleTag14 = 14;
// Three little-endian 32-bit floats: x, y, z.
inline constexpr std::size_t kPointWidth = 12;

// The value width of every tag; tags not listed carry no value and the next byte is read as a tag.
inline constexpr std::array<std::uint8_t, 256> kTagWidths = [] {
    std::array<std::uint8_t, 256> widths{};
    widths[kPositionTag] = kPointWidth;
    for (int tag = 2; tag <= 7; ++tag) widths[tag] = 1;
    widths[8] = 4;
    widths[9] = 4;
    for (int tag = 10; tag <= 14; ++tag) widths[tag] = kPointWidth;
    widths[15] = 1;
    widths[16] = 1;
    return widths;
}();

// The reduced report, the form of a payload built from the stored state: on foot it is the
// longest, state, 32-bit value, position, tag 2 and tag 3.
inline constexpr std::size_t kMaxReducedStateLength = 1 + 4 + 1 + kPointWidth + 2 + 2;
inline constexpr std::size_t kMaxReducedRelayLength = kRelayHeaderLength + kMaxReducedStateLength;

template <std::size_t Capacity>
void encodeRelayHeader(PacketWriter<Capacity>& out, std::uint8_t senderId) {
    out.byte(command::kSync).byte(senderId);
}

// The weapon the statistics lines follow: the payload scanned from its second byte, each byte a
// marker; the four bytes after a marker 1, 2, 3 or 10 are skipped, and the byte after a marker 29
// is the weapon.
inline std::optional<std::uint8_t> weaponOf(const PacketReader& payload) {
    constexpr std::uint8_t kWeaponMarker = 29;
    constexpr std::size_t kSkippedAfterMarker = 4;
    std::size_t index = 1;
    while (const std::optional<std::uint8_t> marker = payload.byteAt(index)) {
        if (*marker == kWeaponMarker) return payload.byteAt(index + 1);
        const bool skipsFour = *marker == 1 || *marker == 2 || *marker == 3 || *marker == 10;
        index += skipsFour ? 1 + kSkippedAfterMarker : 1;
    }
    return std::nullopt;
}

}  // namespace sync

}  // namespace varn
