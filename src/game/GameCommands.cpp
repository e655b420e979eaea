#include <algorithm>
#include <optional>
#include <string>

#include "config/ServerSettings.h"
#include "game/GameCommands.h"
#include "game/GameServer.h"
#include "log/ServerLog.h"
#include "platform/Clock.h"
#include "protocol/GameProtocol.h"

namespace varn::gameplay {

namespace {

constexpr std::int32_t kMaxKillReportsPerPass = 2;
constexpr std::uint16_t kMaxReportedPing = 1000;
constexpr std::size_t kMaxRecipientLength = 12;
constexpr std::size_t kMaxRecipients = 3;
// A chat packet holds at most 128 text bytes; the private-message forms add at most 6.
using ChatPacket = PacketWriter<4 + kMaxChatText + 8>;

std::uint8_t idByte(std::int32_t id) { return static_cast<std::uint8_t>(id); }

// The chat text: printable bytes after the kind byte, colour codes skipped, the final NUL left out.
std::string readChatText(const PacketReader& payload, std::int32_t chatDatagramLength) {
    std::string text;
    const std::size_t end = static_cast<std::size_t>(std::max(chatDatagramLength - 2, 0));
    std::size_t index = 1;
    while (index < end && text.size() < kMaxChatText) {
        const std::uint8_t byte = payload.byteAt(index).value_or(0);
        if (byte == kColourCode) {
            index += kColourCodeLength;
            continue;
        }
        if (isPrintable(byte)) text.push_back(static_cast<char>(byte));
        ++index;
    }
    return text;
}

void buildChat(ChatPacket& packet, std::int32_t senderId, std::uint8_t kind, std::string_view prefix,
               std::string_view text) {
    packet.clear();
    encodeChat(packet, idByte(senderId), kind, prefix, text);
}

void privateMessage(GameServer& server, std::int32_t senderId, std::uint8_t kind, std::string_view text) {
    ChatPacket packet;
    buildChat(packet, senderId, kind, {}, text);
    server.administrators().sendToAdministrators(packet.data(), packet.size());

    const std::string_view afterCommand = text.substr(kPrivateMessage.size());
    const std::size_t space = afterCommand.find(' ');
    const std::string_view recipients = afterCommand.substr(0, space);
    const std::string_view message =
        space == std::string_view::npos ? std::string_view{} : afterCommand.substr(space + 1);
    const PlayerRecord* sender = server.players().find(senderId);
    if (!message.empty()) {
        buildChat(packet, senderId, kind, kPrivateReceipt, message);
        server.sendToPlayer(sender->address, packet.data(), packet.size());
    }
    if (recipients.empty() || message.empty() || server.players().checkRepeatChat(senderId, message)) return;

    buildChat(packet, senderId, kind, kPrivateMessage, message);
    std::size_t used = 0;
    std::size_t start = 0;
    while (used < kMaxRecipients && start <= recipients.size()) {
        std::size_t end = start;
        while (end < recipients.size() && recipients[end] != ',' && end - start < kMaxRecipientLength) ++end;
        const std::string_view name = recipients.substr(start, end - start);
        ++used;
        const std::int32_t recipient = server.players().findByName(name);
        if (recipient != -1) {
            const PrivateMessageSent event{server.viewOf(senderId), server.viewOf(recipient), message};
            server.raise([&event](GameObserver& observer) { observer.onPrivateMessageSent(event); });
            server.sendToPlayer(server.players().find(recipient)->address, packet.data(), packet.size());
        }
        // A name that reaches 12 characters without a comma ends the list.
        if (end >= recipients.size() || recipients[end] != ',') break;
        start = end + 1;
    }
}

bool isOrdinaryCommand(std::string_view text) { return text.starts_with("/me ") || text.starts_with("/slap "); }

}  // namespace

void chat(GameServer& server, const PacketReader& payload, std::int32_t senderId) {
    const std::int32_t chatDatagramLength = std::min(static_cast<std::int32_t>(payload.size()) + 1, kMaxChatDatagram);
    std::string text = readChatText(payload, chatDatagramLength);
    const std::uint8_t kind = payload.byteAt(0).value_or(0);
    if (text.starts_with('/') && !isOrdinaryCommand(text)) {
        if (text.starts_with(kPrivateMessage)) {
            privateMessage(server, senderId, kind, text);
            server.players().addChat(senderId);
            return;
        }
        // Swallowed for everyone; an observer may take it as a command.
        const SlashCommand command{server.viewOf(senderId), text};
        server.raise([&command](GameObserver& observer) { observer.onSlashCommand(command); });
        text.clear();
    }
    if (!text.empty() && !server.players().checkRepeatChat(senderId, text)) {
        if (server.settings().logChat) {
            auto& log = ServerLog::instance();
            log.line("---> ", server.players().find(senderId)->name, ": ", text);
        }
        const ChatSent event{server.viewOf(senderId), kind, text};
        server.raise([&event](GameObserver& observer) { observer.onChatSent(event); });
        const bool relayed = server.decideChat(event) == ChatVerdict::Relay;
        if (kind != kChatKindNotRelayed && relayed) {
            ChatPacket packet;
            buildChat(packet, senderId, kind, {}, text);
            server.broadcast(packet.data(), packet.size());
        }
    }
    server.players().addChat(senderId);
}

void answerPingRequest(GameServer& server, const PeerAddress& from) {
    const std::uint8_t answer[] = {command::kPingReply};
    server.sendToPlayer(from, answer, sizeof answer);
}

void pingReply(GameServer& server, std::int32_t senderId) {
    PlayerRecord* record = server.players().find(senderId);
    const auto mean = static_cast<std::uint16_t>(
        std::min<std::uint32_t>((std::uint32_t{record->ping} + record->lastPing) / 2, kMaxReportedPing));
    const auto packet = encodePlayerPing(idByte(senderId), mean);
    server.broadcast(packet.data(), packet.size());
    record->pongTime = server.clock().pingMilliseconds();
}

void deathReport(GameServer& server, const PacketReader& payload, std::int32_t senderId) {
    const auto killerByte = payload.byteAt(0);
    if (!killerByte) return;
    if (server.players().killReports(senderId) >= kMaxKillReportsPerPass) return;
    const auto death = encodeDeath(idByte(senderId), *killerByte);
    server.broadcast(death.data(), death.size());
    server.players().addKillReport(senderId);

    const std::int32_t killerId = signedByte(*killerByte);
    const std::optional<PlayerView> killer = server.findPlayer(killerId);
    const PlayerDied died{server.viewOf(senderId), killer};
    server.raise([&died](GameObserver& observer) { observer.onPlayerDied(died); });
    if (!killer) return;
    if (killerId == senderId) {
        server.players().setScore(senderId, static_cast<std::int16_t>(server.players().score(senderId) - 1));
    } else {
        server.players().setScore(killerId, static_cast<std::int16_t>(server.players().score(killerId) + 1));
    }
    const PlayerScored scored{*killer, server.players().score(killerId)};
    server.raise([&scored](GameObserver& observer) { observer.onPlayerScored(scored); });
    const auto score = encodeScore(*killerByte, server.players().score(killerId));
    server.broadcast(score.data(), score.size());
}

void trainerReport(GameServer& server, std::int32_t senderId) {
    server.removePlayer(senderId, LeaveReason::Trainer);
}

void nameQuery(GameServer& server, const PacketReader& payload, const PeerAddress& from) {
    const auto idByteValue = payload.byteAt(0);
    if (!idByteValue) return;
    const PlayerRecord* record = server.players().find(signedByte(*idByteValue));
    if (record == nullptr || record->name.empty()) return;
    PacketWriter<2 + kMaxRecordNameLength> answer;
    answer.byte(command::kNameQuery).byte(*idByteValue).text(record->name);
    server.sendToPlayer(from, answer.data(), answer.size());
}

void sharedByteAnnounce(GameServer& server, const PacketReader& payload, std::int32_t senderId) {
    const auto value = payload.byteAt(0);
    if (!value) return;
    server.players().setSharedByte(senderId, signedByte(*value));
    const std::uint8_t packet[] = {command::kSharedByte, idByte(senderId), *value};
    const bool echo = server.settings().testMode;
    server.broadcastToPlayersExcept(packet, sizeof packet, echo ? kNoPlayer : senderId);
}

void sharedByteQuery(GameServer& server, const PacketReader& payload, const PeerAddress& from) {
    const auto idByteValue = payload.byteAt(0);
    if (!idByteValue) return;
    const std::int32_t value = server.players().sharedByte(signedByte(*idByteValue));
    const std::uint8_t answer[] = {command::kSharedByte, *idByteValue, static_cast<std::uint8_t>(value)};
    server.sendToPlayer(from, answer, sizeof answer);
}

void clientCrcReply(GameServer& server, const PacketReader& payload, std::int32_t senderId) {
    const auto checksum = payload.uint32At(0);
    if (!checksum) return;
    if (*checksum == server.expectedClientCrc()) {
        server.players().resetCrcPending(senderId);
        return;
    }
    server.removePlayer(senderId, LeaveReason::CrcMismatch);
}

}  // namespace varn::gameplay
