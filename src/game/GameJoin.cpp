#include <optional>
#include <string>

#include "access/BanList.h"
#include "access/PasswordLockout.h"
#include "config/ServerSettings.h"
#include "game/GameCommands.h"
#include "game/GameServer.h"
#include "log/ServerLog.h"
#include "platform/Clock.h"
#include "protocol/GameProtocol.h"

namespace varn::gameplay {

namespace {

// The name of a join: printable bytes from payload index 1 up to the '|', at most 12 of them,
// colour codes skipped. endIndex is where the walk stopped.
struct JoinName {
    std::string text;
    std::size_t endIndex = 1;
};

JoinName readJoinName(const PacketReader& payload) {
    JoinName name;
    std::size_t index = 1;
    while (index < payload.size() && name.text.size() < kMaxPlayerNameLength) {
        const std::uint8_t byte = *payload.byteAt(index);
        if (byte == kNameEnd) break;
        if (byte == kColourCode) {
            index += kColourCodeLength;
            continue;
        }
        if (isPrintable(byte)) name.text.push_back(static_cast<char>(byte));
        ++index;
    }
    name.endIndex = index;
    return name;
}

bool beginsWithReservedWord(std::string_view name) {
    return name.size() >= 5 && namesEqualIgnoringCase(name.substr(0, 5), "admin");
}

void refused(GameServer& server, std::string_view ip, std::string_view name, JoinRefusal reason) {
    const JoinRefused event{ip, name, reason};
    server.raise([&event](GameObserver& observer) { observer.onJoinRefused(event); });
}

// The refusal event, then the notice that tells the sender.
void refuse(GameServer& server, const PeerAddress& to, std::string_view ip, std::string_view name,
            JoinRefusal reason, std::uint8_t notice) {
    refused(server, ip, name, reason);
    server.sendNotice(to, notice);
}

// The bare [6] refusal: an empty name, or a join too soon after the last from the same address.
void sendBareNotice(GameServer& server, const PeerAddress& to, std::string_view ip, JoinRefusal reason) {
    refused(server, ip, {}, reason);
    const auto packet = encodeBareNotice();
    server.sendToPlayer(to, packet.data(), packet.size());
}

bool passwordMatches(GameServer& server, const PacketReader& payload, std::size_t nameEnd) {
    const std::string_view given = payload.textAt(nameEnd + 1);
    const std::optional<std::string>& expected = server.settings().serverPassword;
    return expected.has_value() && constantTimeEquals(given, *expected);
}

bool lockoutOn(const GameServer& server) { return server.settings().passwordLockout; }

// The wrong-password line goes out for the first five failures of an address in its window; with
// the lock-out on, the failure is counted and may lock the address out.
void refuseWrongPassword(GameServer& server, const PeerAddress& from, const std::string& name, const IpText& ip) {
    PasswordLockout::WrongPassword outcome;
    if (lockoutOn(server)) {
        outcome = server.passwordLockout().recordWrongPassword(PasswordLockout::Kind::PlayerJoin, from,
                                                             server.clock().monotonicSeconds());
    }
    if (outcome.logged) {
        ServerLog::instance().line("ERROR: Unable to add '", name, "' from '", ip.view(),
                                   ",' password is incorrect.");
    }
    server.notifyWrongPassword(WrongPasswordGiven{ip.view(), PasswordKind::PlayerJoin});
    refuse(server, from, ip.view(), name, JoinRefusal::WrongPassword, notice::kWrongPassword);
    if (outcome.lockedOut) {
        logLockedOut(ip.view());
        server.notifyLockedOut(AddressLockedOut{ip.view(), PasswordKind::PlayerJoin});
    }
}

void logJoin(const std::string& name, std::int32_t id, const IpText& ip) {
    auto& log = ServerLog::instance();
    log.line("JOIN: '", name, "', PlayerID = ", id, " (", ip.view(), ")");
}

// The administrators learn of it, with the address, as observers of the join.
void announceJoin(GameServer& server, std::int32_t id, const std::string& name) {
    PacketWriter<2 + kMaxRecordNameLength> packet;
    encodePlayerJoined(packet, static_cast<std::uint8_t>(id), name);
    server.broadcastToPlayersExcept(packet.data(), packet.size(), id);
}

// A locked-out address learns nothing, not even that it is locked out.
bool silencedByLockout(GameServer& server, const PeerAddress& from) {
    if (!lockoutOn(server)) return false;
    const std::int64_t now = server.clock().monotonicSeconds();
    if (server.passwordLockout().admits(PasswordLockout::Kind::PlayerJoin, from, now)) return false;
    server.passwordLockout().countUnlogged(from, now);
    refused(server, from.ipText().view(), {}, JoinRefusal::LockedOut);
    return true;
}

// The refusals a join meets before its name is read, in the order they are checked: the notice
// that went out, if any.
bool refusedBeforeTheName(GameServer& server, const PacketReader& payload, const PeerAddress& from,
                          std::int32_t senderId, const IpText& ip) {
    if (senderId != -1) {
        refuse(server, from, ip.view(), {}, JoinRefusal::AlreadyJoined, notice::kAlreadyJoined);
        return true;
    }
    if (server.bans().isBannedAddress(from)) {
        refuse(server, from, ip.view(), {}, JoinRefusal::Banned, notice::kBanned);
        return true;
    }
    if (server.isFull()) {
        refuse(server, from, ip.view(), {}, JoinRefusal::ServerFull, notice::kServerFull);
        return true;
    }
    if (const auto recent = server.recentJoins().find(ip.view()); recent != server.recentJoins().end()) {
        ++recent->second.attempts;
        sendBareNotice(server, from, ip.view(), JoinRefusal::TooSoon);
        return true;
    }
    if (payload.byteAt(0) != kProtocolVersion) {
        refuse(server, from, ip.view(), {}, JoinRefusal::WrongVersion, notice::kWrongVersion);
        return true;
    }
    return false;
}

bool refusedName(GameServer& server, const PeerAddress& from, const std::string& name, const IpText& ip) {
    if (name.empty()) {
        sendBareNotice(server, from, ip.view(), JoinRefusal::EmptyName);
        return true;
    }
    if (beginsWithReservedWord(name) || server.players().findByName(name) != -1) {
        refuse(server, from, ip.view(), name, JoinRefusal::NameRefused, notice::kNameRefused);
        return true;
    }
    return false;
}

// The joined player is remembered for the join-flood check, logged, welcomed and announced.
void admit(GameServer& server, const PeerAddress& from, std::int32_t id, const std::string& name, const IpText& ip) {
    if (lockoutOn(server)) server.passwordLockout().recordSuccess(PasswordLockout::Kind::PlayerJoin, from);
    server.recentJoins().insert_or_assign(std::string(ip.view()), JoinRecord{0, 1});
    logJoin(name, id, ip);
    const PlayerJoined event{server.viewOf(id)};
    server.raise([&event](GameObserver& observer) { observer.onPlayerJoined(event); });
    server.welcomePlayer(from, id);
    announceJoin(server, id, name);
}

}  // namespace

void join(GameServer& server, const PacketReader& payload, const PeerAddress& from, std::int32_t senderId) {
    // A flood offender the server did not ban (too many bans this minute) gets no answer.
    if (server.automaticBans().drops(from.address, server.clock().monotonicSeconds())) return;
    if (silencedByLockout(server, from)) return;
    const IpText ip = from.ipText();
    if (refusedBeforeTheName(server, payload, from, senderId, ip)) return;
    const JoinName name = readJoinName(payload);
    if (refusedName(server, from, name.text, ip)) return;
    if (server.passwordRequired() && !passwordMatches(server, payload, name.endIndex)) {
        refuseWrongPassword(server, from, name.text, ip);
        return;
    }
    if (const std::optional<std::uint8_t> notice = server.decideJoin(JoinRequest{name.text, ip.view(), from})) {
        refuse(server, from, ip.view(), name.text, JoinRefusal::ByObserver, *notice);
        return;
    }
    // Beyond the joins a second that any real use needs, a join goes unanswered and unlogged.
    if (!server.joinRate().allowJoin(server.clock().monotonicMilliseconds())) return;
    const std::int32_t id = server.players().add(from, name.text);
    if (id < 0) {
        ServerLog::instance().line("ERROR: Unable to add '", name.text, "' from '", ip.view(), "'");
        refused(server, ip.view(), name.text, JoinRefusal::NoFreeId);
        return;
    }
    admit(server, from, id, name.text, ip);
}

void quit(GameServer& server, std::int32_t senderId) { server.removePlayer(senderId, LeaveReason::Quit); }

}  // namespace varn::gameplay
