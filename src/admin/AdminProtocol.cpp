#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "access/BanList.h"
#include "access/PasswordLockout.h"
#include "config/ServerSettings.h"
#include "game/GameServer.h"
#include "log/ServerLog.h"
#include "platform/Clock.h"
#include "protocol/AdminProtocol.h"
#include "protocol/GameProtocol.h"

namespace varn {

namespace {

// An admin command: the server, the datagram after its id byte, the sender and its admin id.
struct AdminRequest {
    GameServer& server;
    const PacketReader& payload;
    const PeerAddress& from;
    std::int32_t adminId;
};

// Ids the server itself sends, or that no admin client uses.
bool isIgnoredId(std::int32_t commandId) {
    return commandId == command::kPingRequest || (commandId >= 6 && commandId <= 12) ||
           (commandId >= 19 && commandId <= 25);
}

void answer(const AdminRequest& request, std::uint8_t id, std::uint8_t value) {
    const auto packet = admin::encodeAnswer(id, value);
    request.server.sendToAdmin(request.from, packet.data(), packet.size());
}

// The admin's name as log lines show it: it came from the network.
std::string adminName(const AdminRequest& request) {
    return printableForLog(*request.server.admins.nameOf(request.adminId));
}

void refuseJoin(GameServer& server, const PeerAddress& from, std::uint8_t reason) {
    const auto packet = encodeNotice(reason);
    server.sendToAdmin(from, packet.data(), packet.size());
}

// The name runs from payload index 1 for at most 13 bytes, up to a '|' or the end of the datagram;
// the byte after it is taken to be the '|', and the password follows up to its NUL.
struct AdminLogin {
    std::string name;
    std::string_view password;
};

AdminLogin readLogin(const PacketReader& payload) {
    AdminLogin login;
    std::size_t index = 1;
    while (index < payload.size() && index - 1 < admin::kMaxNameLength) {
        if (*payload.byteAt(index) == kNameEnd) break;
        ++index;
    }
    // The record keeps the name as a NUL-terminated text.
    login.name = std::string(payload.textAt(1, index - 1));
    login.password = payload.textAt(index + 1);
    return login;
}

bool lockoutOn(const GameServer& server) { return server.settings().passwordLockout; }

// With the lock-out on, an attempt is looked at only while its address is not locked out and the
// budget of wrong admin passwords is not spent; any other attempt learns nothing, not even that it
// was dropped, and is counted for the summary line.
bool lockoutAdmits(GameServer& server, const PeerAddress& from, std::int64_t now) {
    PasswordLockout& lockout = server.passwordLockout;
    if (lockout.admits(PasswordLockout::Kind::AdminLogin, from, now) && lockout.adminGuessAvailable(now)) {
        return true;
    }
    lockout.countUnlogged(from, now);
    return false;
}

// The wrong-password line goes out for the first five failures of an address in its window; with
// the lock-out on, the failure is counted and may lock the address out.
void refuseWrongPassword(GameServer& server, const PeerAddress& from, std::string_view name, std::int64_t now) {
    PasswordLockout::WrongPassword outcome;
    if (lockoutOn(server)) {
        outcome = server.passwordLockout.recordWrongPassword(PasswordLockout::Kind::AdminLogin, from, now);
    }
    if (outcome.logged) {
        ServerLog::instance().line("ADMIN-ERROR Unable to add: '", printableForLog(name), "' password is incorrect.");
    }
    refuseJoin(server, from, admin::kRefusedWrongPassword);
    if (outcome.lockedOut) logLockedOut(from.ipText().view());
}

void adminJoin(GameServer& server, const PacketReader& payload, const PeerAddress& from, bool isAdmin) {
    const std::int64_t now = server.clock().monotonicSeconds();
    if (lockoutOn(server) && !lockoutAdmits(server, from, now)) return;
    if (isAdmin) return refuseJoin(server, from, admin::kRefusedAlreadyAdmin);
    if (server.bans().isBannedAddress(from)) return refuseJoin(server, from, admin::kRefusedBanned);
    if (payload.byteAt(0) != admin::kProtocolVersion) {
        return refuseJoin(server, from, admin::kRefusedWrongVersion);
    }

    const AdminLogin login = readLogin(payload);
    if (server.admins.findByName(login.name) >= 0) return refuseJoin(server, from, admin::kRefusedNameInUse);

    const std::optional<std::string>& adminPassword = server.settings().adminPassword;
    if (!adminPassword.has_value() || !constantTimeEquals(login.password, *adminPassword)) {
        return refuseWrongPassword(server, from, login.name, now);
    }
    if (lockoutOn(server)) server.passwordLockout.recordSuccess(PasswordLockout::Kind::AdminLogin, from);

    const std::int32_t id = server.admins.add(from, login.name);
    if (id < 0) return;
    auto& log = ServerLog::instance();
    log.line("ADMIN-JOIN: '", printableForLog(login.name), "', ID = ", id, " (", from.ipText().view(), ")");
    server.sendWelcome(from, id, true);
}

void adminQuit(const AdminRequest& request) {
    auto& log = ServerLog::instance();
    log.line("ADMIN-QUIT: '", adminName(request), "', ID = ", request.adminId);
    request.server.admins.remove(request.adminId);
}

// Relayed as a game chat line, the admin's id standing where a player's would.
void say(const AdminRequest& request) {
    GameServer& server = request.server;
    const PacketReader& text = request.payload;
    const std::size_t used = std::min(text.size(), admin::kMaxSayDatagram - 1);
    if (server.settings().logChat) {
        auto& log = ServerLog::instance();
        log.line("***> ", adminName(request), ": ",
                 printableForLog(PacketReader(text.data(), used).textAt(1)));
    }
    PacketWriter<admin::kMaxSayDatagram + 1> relay;
    relay.byte(command::kChat).byte(static_cast<std::uint8_t>(request.adminId)).bytes(text.data(), used);
    server.broadcast(relay.data(), relay.size(), -1, true);
}

// Kick and ban differ in their log word, the ban-list entry and the notice the player gets.
void removePlayer(const AdminRequest& request, bool ban) {
    GameServer& server = request.server;
    const std::optional<std::uint8_t> idByte = request.payload.byteAt(0);
    if (!idByte) return;
    const std::int32_t playerId = *idByte;
    const PlayerRecord* player = server.players.find(playerId);
    if (player == nullptr) return;
    const PeerAddress address = player->address;

    auto& log = ServerLog::instance();
    log.line(ban ? "BANNED: '" : "KICKED: '", player->name, "', PlayerID = ", playerId, " by Admin ",
             adminName(request));

    if (ban) server.bans().addAddress(address);
    const auto removal = encodeNotice(ban ? notice::kBanned : notice::kRemoved);
    server.sendToPlayer(address, removal.data(), removal.size());
    server.players.remove(playerId);
    const auto left = encodePlayerLeft(leftReason::kKickedOrBanned, static_cast<std::uint8_t>(playerId));
    server.broadcast(left.data(), left.size(), -1, true);
}

// A text longer than the unban limit is cut to it: only that much of it can name an entry.
void unban(const AdminRequest& request) {
    const std::string_view text = request.payload.textAt(0, admin::kMaxUnbanText);
    if (!request.server.bans().remove(text)) return answer(request, admin::kUnban, admin::kNotDone);
    auto& log = ServerLog::instance();
    log.line("ADMIN: Admin ", adminName(request), " deleted banned IP '", printableForLog(text), "'");
    answer(request, admin::kUnban, admin::kDone);
}

// A list too long for one reply ends before the first entry that does not fit whole.
void listBans(const AdminRequest& request) {
    std::array<char, admin::kBanListReplySize> reply{};
    reply[0] = static_cast<char>(admin::kListBans);
    const std::size_t length = request.server.bans().listText(std::span<char>(reply).subspan(1));
    request.server.sendToAdmin(request.from, reinterpret_cast<const std::uint8_t*>(reply.data()), length + 1);
}

void addBan(const AdminRequest& request) {
    std::string address;
    for (const char c : request.payload.textAt(0, admin::kMaxAddBanText)) {
        if ((c >= '0' && c <= '9') || c == '.') address.push_back(c);
    }
    if (address.size() < admin::kMinAddBanLength) return answer(request, admin::kAddBan, admin::kNotDone);
    auto& log = ServerLog::instance();
    log.line("ADMIN: Admin ", adminName(request), " added ban '", address, "'");
    request.server.bans().add(address);
    answer(request, admin::kAddBan, admin::kDone);
}

void playerAddress(const AdminRequest& request) {
    const std::optional<std::uint8_t> idByte = request.payload.byteAt(0);
    if (!idByte) return;
    const PlayerRecord* player = request.server.players.find(*idByte);
    if (player == nullptr) return;
    PacketWriter<2 + sizeof(IpText::text)> reply;
    reply.byte(admin::kPlayerAddress).byte(*idByte).text(player->ipText.view());
    request.server.sendToAdmin(request.from, reply.data(), reply.size());
}

// The change lives in memory only. An empty text is refused: a configuration value is never empty.
void setServerPassword(const AdminRequest& request) {
    const std::string_view password = request.payload.textAt(0, admin::kMaxServerPassword);
    if (password.empty() || !request.server.changeServerPassword(password)) {
        return answer(request, admin::kSetServerPassword, admin::kNotDone);
    }
    ServerLog::instance().line("PASSWORD: The Server Password was successfully changed.");
    answer(request, admin::kSetServerPassword, admin::kDone);
}

// Two attempts less than five whole seconds apart, from any admins, stop the server.
void shutdownAttempt(const AdminRequest& request) {
    GameServer& server = request.server;
    auto& log = ServerLog::instance();
    // The monotonic clock, so that setting the system clock between the attempts changes nothing.
    const std::int64_t now = server.clock().monotonicSeconds();
    if (!server.settings().adminAllowShutdown) {
        log.line("ADMIN-KILLSERVER: Remote Shutdown has been disabled.");
        return answer(request, admin::kShutdown, admin::kShutdownDisabled);
    }
    if (server.killFirstReceived == 0) {
        log.line("ADMIN-KILLSERVER: First Attempt was received from '", adminName(request), "'.");
        server.killFirstReceived = 1;
        server.killFirstTime = now;
        return answer(request, admin::kShutdown, admin::kShutdownArmed);
    }
    if (now - server.killFirstTime >= admin::kShutdownWindowSeconds) {
        log.line("ADMIN-KILLSERVER: Too late on Second Attempt ... updating First Attempt.");
        answer(request, admin::kShutdown, admin::kShutdownTooLate);
        server.killFirstTime = now;
        return;
    }
    log.line("ADMIN-KILLSERVER: Second Attempt was received from '", adminName(request),
             "' .... Killing Server.");
    server.shutdownRequested = 1;
    answer(request, admin::kShutdown, admin::kShutdownNow);
    server.killFirstTime = now;
}

void reloadMessageOfTheDay(const AdminRequest& request) {
    const bool loaded = request.server.loadMessageOfTheDay();
    answer(request, admin::kReloadMotd, loaded ? admin::kDone : admin::kNotDone);
}

}  // namespace

void GameServer::processAdminCommand(std::int32_t commandId, const std::uint8_t* payload,
                                     const PeerAddress& from, std::int32_t numbytes) {
    const std::int32_t adminId = admins.findByAddress(from);
    if (adminId >= 0) admins.resetIdle(adminId);
    if (commandId < admin::kQuit || commandId > admin::kPlayerAddress || isIgnoredId(commandId)) return;

    const PacketReader reader(payload, numbytes > 1 ? static_cast<std::size_t>(numbytes - 1) : 0);
    if (commandId == admin::kJoin) return adminJoin(*this, reader, from, adminId >= 0);
    if (adminId < 0) return;

    const AdminRequest request{*this, reader, from, adminId};
    switch (commandId) {
        case admin::kQuit: return adminQuit(request);
        case admin::kSay: return say(request);
        case admin::kKick: return removePlayer(request, false);
        case admin::kBan: return removePlayer(request, true);
        case admin::kUnban: return unban(request);
        case admin::kListBans: return listBans(request);
        case admin::kShutdown: return shutdownAttempt(request);
        case admin::kReloadMotd: return reloadMessageOfTheDay(request);
        case admin::kSetServerPassword: return setServerPassword(request);
        case admin::kAddBan: return addBan(request);
        case admin::kPlayerAddress: return playerAddress(request);
        default: return;  // the ping answer only keeps the admin alive
    }
}

}  // namespace varn
