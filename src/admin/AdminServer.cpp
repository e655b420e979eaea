#include "admin/AdminServer.h"

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "access/BanList.h"
#include "access/PasswordLockout.h"
#include "config/ServerSettings.h"
#include "game/GameServer.h"
#include "log/ServerLog.h"
#include "net/UdpEndpoint.h"
#include "platform/Clock.h"
#include "protocol/AdminProtocol.h"
#include "protocol/GameProtocol.h"

namespace varn {

namespace {

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

}  // namespace

AdminServer::AdminServer(GameServer& game, UdpEndpoint& adminSocket, BanList& banList,
                         PasswordLockout& passwordLockout, const ServerSettings& settings,
                         const platform::Clock& clock)
    : game_(game),
      endpoint_(adminSocket),
      bans_(banList),
      passwordLockout_(passwordLockout),
      settings_(settings),
      clock_(clock) {
    game_.connectAdministrators(*this);
    game_.addObserver(*this);
}

AdminServer::~AdminServer() {
    game_.removeObserver(*this);
    game_.disconnectAdministrators();
}

// Every command id an administrator's client sends, and what serves it. The join is served apart:
// it is the one command from an address that is not an administrator yet.
AdminServer::Handler AdminServer::handlerFor(std::int32_t commandId) {
    switch (commandId) {
        case admin::kQuit: return &AdminServer::quit;
        case admin::kSay: return &AdminServer::say;
        case admin::kKick: return &AdminServer::kick;
        case admin::kBan: return &AdminServer::ban;
        case admin::kUnban: return &AdminServer::unban;
        case admin::kListBans: return &AdminServer::listBans;
        case admin::kShutdown: return &AdminServer::shutdownAttempt;
        case admin::kReloadMotd: return &AdminServer::reloadMessageOfTheDay;
        case admin::kSetServerPassword: return &AdminServer::setServerPassword;
        case admin::kAddBan: return &AdminServer::addBan;
        case admin::kPlayerAddress: return &AdminServer::playerAddress;
        case admin::kBanFor: return &AdminServer::banFor;
        case admin::kAddBanFor: return &AdminServer::addBanFor;
        case admin::kListBanLines: return &AdminServer::listBanLines;
        case admin::kReloadScripts: return &AdminServer::reloadScripts;
        default: return nullptr;  // the ping answer only keeps the admin alive; the rest is ignored
    }
}

void AdminServer::processCommand(std::int32_t commandId, const std::uint8_t* payload, const PeerAddress& from,
                                 std::int32_t datagramLength) {
    // What the command causes in the game, and what observers ask for meanwhile, ends with it.
    GameServer::HandlerScope scope(game_);
    const std::int32_t adminId = administrators_.findByAddress(from);
    if (adminId >= 0) administrators_.resetIdle(adminId);

    const PacketReader reader(payload, datagramLength > 1 ? static_cast<std::size_t>(datagramLength - 1) : 0);
    if (commandId == admin::kJoin) return join(reader, from, adminId >= 0);
    if (adminId < 0) return;
    if (const Handler handler = handlerFor(commandId)) (this->*handler)(Request{reader, from, adminId});
}

// ---- the game's channel to the administrators ----

void AdminServer::sendToAdministrator(const PeerAddress& to, const std::uint8_t* data, std::size_t length) {
    endpoint_.send(to, data, length);
}

void AdminServer::sendToAdministrators(const std::uint8_t* data, std::size_t length) {
    for (const auto& entry : administrators_.records()) {
        endpoint_.send(entry.second.address, data, length);
    }
}

void AdminServer::flushToAdministrators() { endpoint_.flush(); }

// [8][id][name][0][IP text]: the players' join notice and the address.
void AdminServer::onPlayerJoined(const PlayerJoined& event) {
    PacketWriter<2 + kMaxRecordNameLength + 1 + sizeof(IpText::text)> packet;
    encodePlayerJoined(packet, static_cast<std::uint8_t>(event.player.id()), event.player.name());
    appendJoinedAddress(packet, event.player.ipText());
    sendToAdministrators(packet.data(), packet.size());
}

void AdminServer::dropSilentAdministrators(std::int32_t limitSeconds) {
    std::vector<std::int32_t> silent;
    for (const auto& [id, record] : administrators_.records()) {
        if (record.idleSeconds > limitSeconds) silent.push_back(id);
    }
    for (const std::int32_t id : silent) {
        const AdministratorRecord* record = administrators_.find(id);
        if (record == nullptr) continue;
        auto& log = ServerLog::instance();
        const std::string name = printableForLog(record->name);
        log.line("ADMIN-QUIT: '", name, "', ID = ", id, " ... quit due to timeout.");
        game_.notifyAdministratorLoggedOut(AdministratorLoggedOut{id, name, true});
        administrators_.remove(id);
    }
}

void AdminServer::addIdleTime(std::int32_t seconds) { administrators_.addIdleToAll(seconds); }

// ---- joining ----

void AdminServer::refuseJoin(const PeerAddress& from, std::uint8_t reason) {
    const auto packet = encodeNotice(reason);
    endpoint_.send(from, packet.data(), packet.size());
}

// With the lock-out on, an attempt is looked at only while its address is not locked out and the
// budget of wrong admin passwords is not spent (or an administrator logged in from it before); any
// other attempt learns nothing, not even that it was dropped, and is counted for the summary line.
bool AdminServer::lockoutAdmits(const PeerAddress& from, std::int64_t now) {
    if (passwordLockout_.admits(PasswordLockout::Kind::AdminLogin, from, now) &&
        passwordLockout_.adminGuessAvailable(from, now)) {
        return true;
    }
    passwordLockout_.countUnlogged(from, now);
    return false;
}

// The wrong-password line goes out for the first five failures of an address in its window; with
// the lock-out on, the failure is counted and may lock the address out.
void AdminServer::refuseWrongPassword(const PeerAddress& from, std::string_view name, std::int64_t now) {
    PasswordLockout::WrongPassword outcome;
    if (settings_.passwordLockout) {
        outcome = passwordLockout_.recordWrongPassword(PasswordLockout::Kind::AdminLogin, from, now);
    }
    if (outcome.logged) {
        ServerLog::instance().line("ADMIN-ERROR Unable to add: '", printableForLog(name), "' password is incorrect.");
    }
    const IpText ip = from.ipText();
    game_.notifyWrongPassword(WrongPasswordGiven{ip.view(), PasswordKind::AdminLogin});
    refuseJoin(from, admin::kRefusedWrongPassword);
    if (outcome.lockedOut) {
        logLockedOut(ip.view());
        game_.notifyLockedOut(AddressLockedOut{ip.view(), PasswordKind::AdminLogin});
    }
}

void AdminServer::join(const PacketReader& payload, const PeerAddress& from, bool alreadyAdministrator) {
    const std::int64_t now = clock_.monotonicSeconds();
    if (settings_.passwordLockout && !lockoutAdmits(from, now)) return;
    if (alreadyAdministrator) return refuseJoin(from, admin::kRefusedAlreadyAdmin);
    if (bans_.isBannedAddress(from)) return refuseJoin(from, admin::kRefusedBanned);
    if (payload.byteAt(0) != admin::kProtocolVersion) return refuseJoin(from, admin::kRefusedWrongVersion);

    const AdminLogin login = readLogin(payload);
    if (administrators_.findByName(login.name) >= 0) return refuseJoin(from, admin::kRefusedNameInUse);

    const std::optional<std::string>& adminPassword = settings_.adminPassword;
    if (!adminPassword.has_value() || !constantTimeEquals(login.password, *adminPassword)) {
        return refuseWrongPassword(from, login.name, now);
    }
    if (settings_.passwordLockout) passwordLockout_.recordSuccess(PasswordLockout::Kind::AdminLogin, from);

    const std::int32_t id = administrators_.add(from, login.name);
    if (id < 0) return;
    auto& log = ServerLog::instance();
    const std::string name = printableForLog(login.name);
    const IpText ip = from.ipText();
    log.line("ADMIN-JOIN: '", name, "', ID = ", id, " (", ip.view(), ")");
    game_.notifyAdministratorLoggedIn(AdministratorLoggedIn{id, name, ip.view()});
    game_.welcomeAdministrator(from, id);
}

// ---- the commands of a joined administrator ----

void AdminServer::answer(const Request& request, std::uint8_t id, std::uint8_t value) {
    const auto packet = admin::encodeAnswer(id, value);
    endpoint_.send(request.from, packet.data(), packet.size());
}

// The admin's name as log lines show it: it came from the network.
std::string AdminServer::nameOf(const Request& request) const {
    return printableForLog(*administrators_.nameOf(request.adminId));
}

void AdminServer::quit(const Request& request) {
    auto& log = ServerLog::instance();
    const std::string name = nameOf(request);
    log.line("ADMIN-QUIT: '", name, "', ID = ", request.adminId);
    game_.notifyAdministratorLoggedOut(AdministratorLoggedOut{request.adminId, name, false});
    administrators_.remove(request.adminId);
}

// Relayed as a game chat line, the admin's id standing where a player's would; a say beginning
// with '!' that an observer takes as its command is not relayed.
void AdminServer::say(const Request& request) {
    const PacketReader& text = request.payload;
    const std::size_t used = std::min(text.size(), admin::kMaxSayDatagram - 1);
    const std::string name = nameOf(request);
    const std::string_view said = PacketReader(text.data(), used).textAt(1);
    if (settings_.logChat) {
        auto& log = ServerLog::instance();
        log.line("***> ", name, ": ", printableForLog(said));
    }
    const IpText ip = request.from.ipText();
    game_.notifyAdministratorSaid(AdministratorSaid{request.adminId, name, said, ip.view()});
    if (said.starts_with('!') &&
        game_.decideAdministratorCommand(AdministratorCommand{request.adminId, name, said, ip.view()})) {
        return;
    }
    PacketWriter<admin::kMaxSayDatagram + 1> relay;
    relay.byte(command::kChat).byte(static_cast<std::uint8_t>(request.adminId)).bytes(text.data(), used);
    game_.broadcast(relay.data(), relay.size());
}

void AdminServer::kick(const Request& request) {
    if (const std::optional<std::uint8_t> playerId = request.payload.byteAt(0)) {
        game_.kickPlayer(*playerId, nameOf(request));
    }
}

void AdminServer::ban(const Request& request) {
    if (const std::optional<std::uint8_t> playerId = request.payload.byteAt(0)) {
        game_.banPlayer(*playerId, nameOf(request));
    }
}

// A text longer than the unban limit is cut to it: only that much of it can name an entry.
void AdminServer::unban(const Request& request) {
    const std::string_view text = request.payload.textAt(0, admin::kMaxUnbanText);
    if (!bans_.remove(text)) return answer(request, admin::kUnban, admin::kNotDone);
    auto& log = ServerLog::instance();
    const std::string name = nameOf(request);
    log.line("ADMIN: Admin ", name, " deleted banned IP '", printableForLog(text), "'");
    game_.notifyBanRemoved(BanRemoved{text, Actor{Actor::Kind::Administrator, name}});
    answer(request, admin::kUnban, admin::kDone);
}

// A list too long for one reply ends before the first entry that does not fit whole.
void AdminServer::listBans(const Request& request) {
    std::array<char, admin::kBanListReplySize> reply{};
    reply[0] = static_cast<char>(admin::kListBans);
    const std::size_t length = bans_.listText(std::span<char>(reply).subspan(1));
    endpoint_.send(request.from, reinterpret_cast<const std::uint8_t*>(reply.data()), length + 1);
}

void AdminServer::addBan(const Request& request) {
    std::string address;
    for (const char c : request.payload.textAt(0, admin::kMaxAddBanText)) {
        if ((c >= '0' && c <= '9') || c == '.') address.push_back(c);
    }
    if (address.size() < admin::kMinAddBanLength) return answer(request, admin::kAddBan, admin::kNotDone);
    auto& log = ServerLog::instance();
    const std::string name = nameOf(request);
    log.line("ADMIN: Admin ", name, " added ban '", address, "'");
    bans_.add(address);
    game_.notifyBanAdded(BanAdded{address, Actor{Actor::Kind::Administrator, name}, false});
    answer(request, admin::kAddBan, admin::kDone);
}

void AdminServer::playerAddress(const Request& request) {
    const std::optional<std::uint8_t> playerId = request.payload.byteAt(0);
    if (!playerId) return;
    const std::optional<IpText> ipText = game_.playerIpText(*playerId);
    if (!ipText) return;
    PacketWriter<2 + sizeof(IpText::text)> reply;
    reply.byte(admin::kPlayerAddress).byte(*playerId).text(ipText->view());
    endpoint_.send(request.from, reply.data(), reply.size());
}

// The change lives in memory only. An empty text is refused: a configuration value is never empty.
void AdminServer::setServerPassword(const Request& request) {
    const std::string_view password = request.payload.textAt(0, admin::kMaxServerPassword);
    if (password.empty() || !game_.changeServerPassword(password)) {
        return answer(request, admin::kSetServerPassword, admin::kNotDone);
    }
    ServerLog::instance().line("PASSWORD: The Server Password was successfully changed.");
    answer(request, admin::kSetServerPassword, admin::kDone);
}

// Two attempts less than five whole seconds apart, from any admins, stop the server.
void AdminServer::shutdownAttempt(const Request& request) {
    auto& log = ServerLog::instance();
    // The monotonic clock, so that setting the system clock between the attempts changes nothing.
    const std::int64_t now = clock_.monotonicSeconds();
    if (!settings_.adminAllowShutdown) {
        log.line("ADMIN-KILLSERVER: Remote Shutdown has been disabled.");
        return answer(request, admin::kShutdown, admin::kShutdownDisabled);
    }
    if (!shutdownArmed_) {
        log.line("ADMIN-KILLSERVER: First Attempt was received from '", nameOf(request), "'.");
        shutdownArmed_ = true;
        firstShutdownAttemptTime_ = now;
        return answer(request, admin::kShutdown, admin::kShutdownArmed);
    }
    if (now - firstShutdownAttemptTime_ >= admin::kShutdownWindowSeconds) {
        log.line("ADMIN-KILLSERVER: Too late on Second Attempt ... updating First Attempt.");
        answer(request, admin::kShutdown, admin::kShutdownTooLate);
        firstShutdownAttemptTime_ = now;
        return;
    }
    log.line("ADMIN-KILLSERVER: Second Attempt was received from '", nameOf(request), "' .... Killing Server.");
    shutdownRequested_ = true;
    answer(request, admin::kShutdown, admin::kShutdownNow);
    firstShutdownAttemptTime_ = now;
}

// Without scripts the request goes unanswered, as an unknown one does.
void AdminServer::reloadScripts(const Request& request) {
    if (!scriptReload_) return;
    answer(request, admin::kReloadScripts, scriptReload_() ? admin::kDone : admin::kNotDone);
}

void AdminServer::reloadMessageOfTheDay(const Request& request) {
    const bool loaded = game_.loadMessageOfTheDay();
    answer(request, admin::kReloadMotd, loaded ? admin::kDone : admin::kNotDone);
}

}  // namespace varn
