#include "admin/AdminBanCommands.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "access/BanDetails.h"
#include "access/BanList.h"
#include "game/GameServer.h"
#include "log/ServerLog.h"
#include "platform/Clock.h"
#include "protocol/AdminProtocol.h"
#include "protocol/BanEntryText.h"
#include "protocol/GameProtocol.h"

namespace varn {

namespace {

struct BanRequest {
    GameServer& server;
    const PacketReader& payload;
    const PeerAddress& from;
    std::int32_t adminId;
};

void answerDone(const BanRequest& request, std::uint8_t id) {
    const auto packet = admin::encodeAnswer(id, admin::kDone);
    request.server.sendToAdmin(request.from, packet.data(), packet.size());
}

void refuse(const BanRequest& request, std::uint8_t id, std::uint8_t reason) {
    const std::array<std::uint8_t, 3> packet = {id, admin::kNotDone, reason};
    request.server.sendToAdmin(request.from, packet.data(), packet.size());
}

// A ban's time limit and reason as read from a request, or the reason to refuse it.
struct BanTerms {
    BanDetails details;
    std::uint8_t refusal = 0;
};

// The seconds at secondsAt and the reason at reasonAt; who and when come from the admin and the
// calendar clock, so that the next admin knows why.
BanTerms readTerms(const BanRequest& request, std::size_t secondsAt, std::size_t reasonAt) {
    BanTerms terms;
    const std::optional<std::uint32_t> seconds = request.payload.uint32At(secondsAt);
    if (!seconds) {
        terms.refusal = admin::kBanRefusedMalformed;
        return terms;
    }
    if (*seconds > admin::kMaxBanSeconds) {
        terms.refusal = admin::kBanRefusedDuration;
        return terms;
    }
    const std::string_view reason = request.payload.textAt(reasonAt, admin::kMaxBanReason + 1);
    if (reason.size() > admin::kMaxBanReason) {
        terms.refusal = admin::kBanRefusedReasonTooLong;
        return terms;
    }
    const std::int64_t now = request.server.clock().calendarSeconds();
    if (*seconds != 0) terms.details.until = now + *seconds;
    terms.details.by = banDetailValue(*request.server.admins.nameOf(request.adminId));
    terms.details.at = now;
    terms.details.reason = banReasonValue(reason);
    return terms;
}

// What a log line adds about a ban's time limit and reason.
std::string termsText(const BanDetails& details) {
    std::string text;
    if (details.until) text += " until " + utcDateText(*details.until);
    if (!details.reason.empty()) text += " (" + details.reason + ")";
    return text;
}

std::string adminName(const BanRequest& request) {
    return printableForLog(*request.server.admins.nameOf(request.adminId));
}

// As the plain ban, with the player's address banned for the time and reason given.
void banFor(const BanRequest& request) {
    GameServer& server = request.server;
    const std::optional<std::uint8_t> idByte = request.payload.byteAt(0);
    const BanTerms terms = readTerms(request, admin::kBanForSecondsAt, admin::kBanForReasonAt);
    if (!idByte) return refuse(request, admin::kBanFor, admin::kBanRefusedMalformed);
    if (terms.refusal != 0) return refuse(request, admin::kBanFor, terms.refusal);
    const std::int32_t playerId = *idByte;
    const PlayerRecord* player = server.players.find(playerId);
    if (player == nullptr) return refuse(request, admin::kBanFor, admin::kBanRefusedNoPlayer);
    const PeerAddress address = player->address;

    ServerLog::instance().line("BANNED: '", player->name, "', PlayerID = ", playerId, " by Admin ",
                               adminName(request), termsText(terms.details));
    server.bans().addAddress(address, terms.details);
    const auto removal = encodeNotice(notice::kBanned);
    server.sendToPlayer(address, removal.data(), removal.size());
    server.players.remove(playerId);
    const auto left = encodePlayerLeft(leftReason::kKickedOrBanned, static_cast<std::uint8_t>(playerId));
    server.broadcast(left.data(), left.size(), -1, true);
    answerDone(request, admin::kBanFor);
}

// The entry must be one of the forms an admin may add, as written; nothing is filtered out of it.
void addBanFor(const BanRequest& request) {
    const std::string_view entry = request.payload.textAt(admin::kAddBanForEntryAt, admin::kMaxBanEntryText + 1);
    // The reason follows the entry's NUL.
    const BanTerms terms =
        readTerms(request, admin::kAddBanForSecondsAt, admin::kAddBanForEntryAt + entry.size() + 1);
    if (terms.refusal != 0) return refuse(request, admin::kAddBanFor, terms.refusal);
    if (entry.size() > admin::kMaxBanEntryText || !banentry::readEntryForm(entry)) {
        return refuse(request, admin::kAddBanFor, admin::kBanRefusedEntry);
    }
    ServerLog::instance().line("ADMIN: Admin ", adminName(request), " added ban '", entry, "'",
                               termsText(terms.details));
    request.server.bans().add(entry, terms.details);
    answerDone(request, admin::kAddBanFor);
}

// One page: as many whole lines as fit from the entry asked for; the client asks again from the
// first entry it has not seen until it has them all.
void listBanLines(const BanRequest& request) {
    const std::uint32_t first = request.payload.uint32At(0).value_or(0);
    const BanList& bans = request.server.bans();
    PacketWriter<admin::kBanListReplySize> reply;
    reply.byte(admin::kListBanLines).uint32(first).uint32(static_cast<std::uint32_t>(bans.entries().size()));
    std::array<char, admin::kBanListReplySize - admin::kBanLinesHeader> lines{};
    std::size_t count = 0;
    const std::size_t length = bans.listLines(first, lines, count);
    reply.bytes(lines.data(), length);
    request.server.sendToAdmin(request.from, reply.data(), reply.size());
}

}  // namespace

void processAdminBanCommand(GameServer& server, std::int32_t commandId, const PacketReader& payload,
                            const PeerAddress& from, std::int32_t adminId) {
    const BanRequest request{server, payload, from, adminId};
    switch (commandId) {
        case admin::kBanFor: return banFor(request);
        case admin::kAddBanFor: return addBanFor(request);
        case admin::kListBanLines: return listBanLines(request);
        default: return;
    }
}

}  // namespace varn
