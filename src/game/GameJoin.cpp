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

void sendNotice(GameServer& server, const PeerAddress& to, std::uint8_t reason) {
    const auto packet = encodeNotice(reason);
    server.sendToPlayer(to, packet.data(), packet.size());
}

// The bare [6] refusal: an empty name, or a join too soon after the last from the same address.
void sendBareNotice(GameServer& server, const PeerAddress& to) {
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
    sendNotice(server, from, notice::kWrongPassword);
    if (outcome.lockedOut) logLockedOut(ip.view());
}

void logJoin(const std::string& name, std::int32_t id, const IpText& ip) {
    auto& log = ServerLog::instance();
    log.line("JOIN: '", name, "', PlayerID = ", id, " (", ip.view(), ")");
}

void writeJoinStatistics(GameServer& server, const std::string& name, std::int32_t id, const IpText& ip) {
    if (!server.settings().statLogging) return;
    auto& log = ServerLog::instance();
    const std::string_view separator(&kStatSeparator, 1);
    log.fileOnly("Join: ", id, separator, name, separator, ip.view(), separator);
}

void announceJoin(GameServer& server, std::int32_t id, const std::string& name, const IpText& ip) {
    PacketWriter<2 + kMaxRecordNameLength + 1 + 16> packet;
    encodePlayerJoined(packet, static_cast<std::uint8_t>(id), name);
    server.broadcastToPlayersExcept(packet.data(), packet.size(), id);
    // Administrators also learn the address.
    appendJoinedAddress(packet, ip.view());
    server.administrators().sendToAdministrators(packet.data(), packet.size());
}

// A locked-out address learns nothing, not even that it is locked out.
bool silencedByLockout(GameServer& server, const PeerAddress& from) {
    if (!lockoutOn(server)) return false;
    const std::int64_t now = server.clock().monotonicSeconds();
    if (server.passwordLockout().admits(PasswordLockout::Kind::PlayerJoin, from, now)) return false;
    server.passwordLockout().countUnlogged(from, now);
    return true;
}

// The refusals a join meets before its name is read, in the order they are checked: the notice
// that went out, if any.
bool refusedBeforeTheName(GameServer& server, const PacketReader& payload, const PeerAddress& from,
                          std::int32_t senderId, const IpText& ip) {
    if (senderId != -1) {
        sendNotice(server, from, notice::kAlreadyJoined);
        return true;
    }
    if (server.bans().isBannedAddress(from)) {
        sendNotice(server, from, notice::kBanned);
        return true;
    }
    if (server.isFull()) {
        sendNotice(server, from, notice::kServerFull);
        return true;
    }
    if (const auto recent = server.recentJoins().find(ip.view()); recent != server.recentJoins().end()) {
        ++recent->second.attempts;
        sendBareNotice(server, from);
        return true;
    }
    if (payload.byteAt(0) != kProtocolVersion) {
        sendNotice(server, from, notice::kWrongVersion);
        return true;
    }
    return false;
}

bool refusedName(GameServer& server, const PeerAddress& from, const std::string& name) {
    if (name.empty()) {
        sendBareNotice(server, from);
        return true;
    }
    if (beginsWithReservedWord(name) || server.players().findByName(name) != -1) {
        sendNotice(server, from, notice::kNameRefused);
        return true;
    }
    return false;
}

// The joined player is remembered for the join-flood check, logged, welcomed and announced.
void admit(GameServer& server, const PeerAddress& from, std::int32_t id, const std::string& name, const IpText& ip) {
    if (lockoutOn(server)) server.passwordLockout().recordSuccess(PasswordLockout::Kind::PlayerJoin, from);
    server.recentJoins().insert_or_assign(std::string(ip.view()), JoinRecord{0, 1});
    logJoin(name, id, ip);
    writeJoinStatistics(server, name, id, ip);
    server.welcomePlayer(from, id);
    announceJoin(server, id, name, ip);
}

}  // namespace

void join(GameServer& server, const PacketReader& payload, const PeerAddress& from, std::int32_t senderId) {
    // A flood offender the server did not ban (too many bans this minute) gets no answer.
    if (server.automaticBans().drops(from.address, server.clock().monotonicSeconds())) return;
    if (silencedByLockout(server, from)) return;
    const IpText ip = from.ipText();
    if (refusedBeforeTheName(server, payload, from, senderId, ip)) return;
    const JoinName name = readJoinName(payload);
    if (refusedName(server, from, name.text)) return;
    if (server.passwordRequired() && !passwordMatches(server, payload, name.endIndex)) {
        refuseWrongPassword(server, from, name.text, ip);
        return;
    }
    const std::int32_t id = server.players().add(from, name.text);
    if (id < 0) {
        ServerLog::instance().line("ERROR: Unable to add '", name.text, "' from '", ip.view(), "'");
        return;
    }
    admit(server, from, id, name.text, ip);
}

void quit(GameServer& server, std::int32_t senderId) {
    const PlayerRecord* record = server.players().find(senderId);
    if (record == nullptr) return;
    auto& log = ServerLog::instance();
    log.line("QUIT: '", record->name, "', PlayerID = ", senderId);
    if (server.settings().statLogging) {
        log.fileOnly("Quit: ", senderId);
    }
    server.players().remove(senderId);
    const auto left = encodePlayerLeft(leftReason::kQuit, static_cast<std::uint8_t>(senderId));
    server.broadcast(left.data(), left.size());
}

}  // namespace varn::gameplay
