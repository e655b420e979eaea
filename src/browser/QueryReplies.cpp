#include <algorithm>
#include <charconv>
#include <span>
#include <string_view>

#include "browser/BrowserQuery.h"
#include "config/ServerSettings.h"
#include "game/PlayerRegistry.h"
#include "protocol/Packet.h"
#include "protocol/BrowserProtocol.h"

namespace varn {

namespace {

using namespace browser;

constexpr std::string_view kEmpty = "";
constexpr std::string_view kSpaceRule = " ";
constexpr std::size_t kPieceLength = kPieceDataLength + kPieceIdentifierLength;
constexpr std::uint32_t kIdentifierSalt = 11;

// A short decimal text in a caller's buffer, so replies are built without allocating.
struct NumberText {
    explicit NumberText(std::int32_t value) {
        length = static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, value).ptr - digits);
    }
    std::string_view view() const { return {digits, length}; }

    char digits[12];
    std::size_t length;
};

// The four address bytes in network order read as a little-endian number.
std::uint32_t addressAsLittleEndian(const PeerAddress& address) {
    const std::uint32_t host = address.hostAddress();
    return (host >> 24) | ((host >> 8) & 0xFF00u) | ((host << 8) & 0xFF0000u) | (host << 24);
}

}  // namespace

void BrowserQuery::answerStatus(const PeerAddress& sender) {
    if (!guardAllowsStatus(sender)) return;
    if (!statusBuilt_) {
        reply_.begin(kGameName, gamePort_);
        reportStatus();
        reportRules();
        reply_.endRules();
        reportPlayers();
        statusBuilt_ = true;
    }
    const auto bytes = reply_.bytes();
    if (!guardAllowsReplyBytes(sender, bytes.size())) return;
    if (bytes.size() < kWholeReplyBelow) {
        sendReply(sender, bytes.data(), bytes.size());
    } else {
        sendInPieces(sender);
    }
}

void BrowserQuery::sendInPieces(const PeerAddress& to) {
    replyIdentifier_ += addressAsLittleEndian(to) + masters_.heartbeatDueTime() + kIdentifierSalt;
    const auto bytes = reply_.bytes();

    PacketWriter<kPieceLength> piece;
    piece.bytes(bytes.data(), kPieceDataLength).uint32(replyIdentifier_);
    sendReply(to, piece.data(), piece.size());

    std::uint8_t header[kPieceHeaderLength] = {bytes[0], bytes[1], bytes[2], bytes[3]};
    std::size_t sent = kPieceDataLength;
    bool lastPieceFull = true;
    while (sent < bytes.size()) {
        ++header[3];
        const std::size_t length = std::min(kPieceDataLength - kPieceHeaderLength, bytes.size() - sent);
        piece.clear();
        piece.bytes(header, sizeof header).bytes(bytes.data() + sent, length).uint32(replyIdentifier_);
        sendReply(to, piece.data(), piece.size());
        sent += length;
        lastPieceFull = length == kPieceDataLength - kPieceHeaderLength;
    }
    // A reply that fills its last piece exactly is closed by a short piece, so the browser knows
    // that nothing more follows.
    if (lastPieceFull) {
        ++header[3];
        piece.clear();
        piece.bytes(header, sizeof header).byte(0).uint32(replyIdentifier_);
        sendReply(to, piece.data(), piece.size());
    }
}

void BrowserQuery::answerGameName(const PeerAddress& sender) {
    if (!guardAllowsReplyBytes(sender, 1 + kGameName.size())) return;
    PacketWriter<1 + kGameName.size()> reply;
    reply.byte(kGameNameReply).text(kGameName);
    sendReply(sender, reply.data(), reply.size());
}

void BrowserQuery::answerPing(std::int32_t length, const PeerAddress& sender) {
    if (length >= kPingEchoLimit || !registrationOn_) return;
    if (!guardAllowsReplyBytes(sender, static_cast<std::size_t>(length))) return;
    receiveBuffer_[0] = kPingReply;
    sendReply(sender, receiveBuffer_.data(), static_cast<std::size_t>(length));
}

void BrowserQuery::answerChallenge(std::int32_t length, const PeerAddress& sender) {
    if (length != kChallengeDatagramLength || !masters_.isFromMasterNetwork(sender)) return;
    if (!guardAllowsReplyBytes(sender, 1 + sizeof(std::uint32_t))) return;
    const std::span<const std::uint8_t, kChallengeLength> challenge(receiveBuffer_.data() + 1,
                                                                    kChallengeLength);
    PacketWriter<1 + sizeof(std::uint32_t)> reply;
    reply.byte(kChallengeReply).uint32(masters_.verificationResponse(challenge));
    sendReply(sender, reply.data(), reply.size());
}

void BrowserQuery::reportStatus() {
    const std::optional<std::string>& serverName = settings_.serverName;
    reply_.addStatus(serverName ? StatusReply::Text(*serverName) : std::nullopt, kGameType,
                     mapNameFor(settings_.game, settings_.gameMode), kVersion,
                     settings_.serverPasswordSwitchedOn ? 1 : 0, players_.size(),
                     settings_.maxPlayersGiven ? settings_.maxPlayers : 0);
}

void BrowserQuery::reportRules() {
    reply_.addRule(kSpaceRule, kSpaceRule);
}

void BrowserQuery::reportPlayers() {
    players_.forEachView([this](const PlayerView& player) {
        const NumberText score(player.score());
        const NumberText ping(player.browserPing());
        reply_.addPlayer({player.name(), kEmpty, kEmpty, score.view(), ping.view(), kEmpty});
    });
}

}  // namespace varn
