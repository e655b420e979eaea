// The ban commands with a time limit and a reason, and the ban list with its details (ids 30 and
// up), for joined administrators.
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "access/BanDetails.h"
#include "access/BanList.h"
#include "admin/AdminServer.h"
#include "game/GameServer.h"
#include "log/ServerLog.h"
#include "net/UdpEndpoint.h"
#include "platform/Clock.h"
#include "protocol/AdminProtocol.h"
#include "protocol/BanEntryText.h"

namespace varn {

namespace {

// What a log line adds about a ban's time limit and reason.
std::string termsText(const BanDetails& details) {
    std::string text;
    if (details.until) text += " until " + utcDateText(*details.until);
    if (!details.reason.empty()) text += " (" + details.reason + ")";
    return text;
}

}  // namespace

void AdminServer::refuseBan(const Request& request, std::uint8_t id, std::uint8_t reason) {
    const auto packet = admin::encodeBanRefusal(id, reason);
    endpoint_.send(request.from, packet.data(), packet.size());
}

// The seconds at secondsAt and the reason at reasonAt; who and when come from the admin and the
// calendar clock, so that the next admin knows why.
AdminServer::BanTerms AdminServer::readBanTerms(const Request& request, std::size_t secondsAt,
                                                std::size_t reasonAt) const {
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
    const std::int64_t now = clock_.calendarSeconds();
    if (*seconds != 0) terms.details.until = now + *seconds;
    terms.details.by = banDetailValue(*administrators_.nameOf(request.adminId));
    terms.details.at = now;
    terms.details.reason = banReasonValue(reason);
    return terms;
}

// As the plain ban, with the player's address banned for the time and reason given.
void AdminServer::banFor(const Request& request) {
    const std::optional<std::uint8_t> idByte = request.payload.byteAt(0);
    const BanTerms terms = readBanTerms(request, admin::kBanForSecondsAt, admin::kBanForReasonAt);
    if (!idByte) return refuseBan(request, admin::kBanFor, admin::kBanRefusedMalformed);
    if (terms.refusal != 0) return refuseBan(request, admin::kBanFor, terms.refusal);
    if (!game_.banPlayer(*idByte, nameOf(request), terms.details, termsText(terms.details))) {
        return refuseBan(request, admin::kBanFor, admin::kBanRefusedNoPlayer);
    }
    answer(request, admin::kBanFor, admin::kDone);
}

// The entry must be one of the forms an admin may add, as written; nothing is filtered out of it.
void AdminServer::addBanFor(const Request& request) {
    const std::string_view entry = request.payload.textAt(admin::kAddBanForEntryAt, admin::kMaxBanEntryText + 1);
    // The reason follows the entry's NUL.
    const BanTerms terms =
        readBanTerms(request, admin::kAddBanForSecondsAt, admin::kAddBanForEntryAt + entry.size() + 1);
    if (terms.refusal != 0) return refuseBan(request, admin::kAddBanFor, terms.refusal);
    if (entry.size() > admin::kMaxBanEntryText || !banentry::readEntryForm(entry)) {
        return refuseBan(request, admin::kAddBanFor, admin::kBanRefusedEntry);
    }
    const std::string name = nameOf(request);
    ServerLog::instance().line("ADMIN: Admin ", name, " added ban '", entry, "'", termsText(terms.details));
    bans_.add(entry, terms.details);
    game_.notifyBanAdded(BanAdded{entry, Actor{Actor::Kind::Administrator, name}, false});
    answer(request, admin::kAddBanFor, admin::kDone);
}

// One page: as many whole lines as fit from the entry asked for; the client asks again from the
// first entry it has not seen until it has them all.
void AdminServer::listBanLines(const Request& request) {
    const std::uint32_t first = request.payload.uint32At(0).value_or(0);
    PacketWriter<admin::kBanListReplySize> reply;
    reply.byte(admin::kListBanLines).uint32(first).uint32(static_cast<std::uint32_t>(bans_.entries().size()));
    std::array<char, admin::kBanListReplySize - admin::kBanLinesHeader> lines{};
    std::size_t count = 0;
    const std::size_t length = bans_.listLines(first, lines, count);
    reply.bytes(lines.data(), length);
    endpoint_.send(request.from, reply.data(), reply.size());
}

}  // namespace varn
