#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "access/BanDetails.h"
#include "admin/AdministratorRegistry.h"
#include "game/AdministratorChannel.h"
#include "game/GameEvents.h"
#include "net/PeerAddress.h"
#include "protocol/Packet.h"

namespace varn {

class BanList;
class GameServer;
class PasswordLockout;
class UdpEndpoint;
struct ServerSettings;
namespace platform {
class Clock;
}

// The admin server: the administrators' registry, their commands on the admin socket and the remote
// shut-down arming. It acts on the game only through GameServer's public methods, and connects
// itself to the game as the channel through which the game reaches the administrators, for as long
// as it lives; it must not outlive that game.
class AdminServer final : public AdministratorChannel, public GameObserver {
public:
    AdminServer(GameServer& game, UdpEndpoint& adminSocket, BanList& banList, PasswordLockout& passwordLockout,
                const ServerSettings& settings, const platform::Clock& clock);
    ~AdminServer() override;
    AdminServer(const AdminServer&) = delete;
    AdminServer& operator=(const AdminServer&) = delete;

    // One admin datagram: its signed first byte, the bytes after it, the sender, the whole length.
    void processCommand(std::int32_t commandId, const std::uint8_t* payload, const PeerAddress& from,
                        std::int32_t datagramLength);

    // Two shut-down attempts in time have asked the server to stop.
    bool shutdownRequested() const { return shutdownRequested_; }
    // What request 33 runs: true when the new scripts run. Unset, the request is not answered.
    void setScriptReload(std::function<bool()> reload) { scriptReload_ = std::move(reload); }

    AdministratorRegistry& administrators() { return administrators_; }
    const AdministratorRegistry& administrators() const { return administrators_; }

    // What the game asks of the administrators.
    void sendToAdministrator(const PeerAddress& to, const std::uint8_t* data, std::size_t length) override;
    void sendToAdministrators(const std::uint8_t* data, std::size_t length) override;
    void flushToAdministrators() override;
    void dropSilentAdministrators(std::int32_t limitSeconds) override;
    void addIdleTime(std::int32_t seconds) override;
    bool anyAdministrator() const override { return administrators_.size() != 0; }
    // The administrators alone learn a joining player's address.
    void onPlayerJoined(const PlayerJoined& event) override;

private:
    // A command of a joined administrator: the datagram after its id byte, the sender and its id.
    struct Request {
        const PacketReader& payload;
        const PeerAddress& from;
        std::int32_t adminId;
    };
    using Handler = void (AdminServer::*)(const Request&);
    // The handler of a joined administrator's command id, or nullptr for ids that are only read as
    // a sign of life (the ping answer) and ids no admin client sends.
    static Handler handlerFor(std::int32_t commandId);

    void join(const PacketReader& payload, const PeerAddress& from, bool alreadyAdministrator);
    bool lockoutAdmits(const PeerAddress& from, std::int64_t now);
    void refuseJoin(const PeerAddress& from, std::uint8_t reason);
    void refuseWrongPassword(const PeerAddress& from, std::string_view name, std::int64_t now);

    void quit(const Request& request);
    void say(const Request& request);
    void kick(const Request& request);
    void ban(const Request& request);
    void unban(const Request& request);
    void listBans(const Request& request);
    void addBan(const Request& request);
    void playerAddress(const Request& request);
    void setServerPassword(const Request& request);
    void shutdownAttempt(const Request& request);
    void reloadMessageOfTheDay(const Request& request);
    void reloadScripts(const Request& request);
    // Bans with a time limit and a reason, and the detailed list (AdminBanCommands.cpp).
    struct BanTerms {
        BanDetails details;
        std::uint8_t refusal = 0;  // the reason to refuse the request, 0 when it may go ahead
    };
    BanTerms readBanTerms(const Request& request, std::size_t secondsAt, std::size_t reasonAt) const;
    void refuseBan(const Request& request, std::uint8_t id, std::uint8_t reason);
    void banFor(const Request& request);
    void addBanFor(const Request& request);
    void listBanLines(const Request& request);

    void answer(const Request& request, std::uint8_t id, std::uint8_t value);
    std::string nameOf(const Request& request) const;

    GameServer& game_;
    UdpEndpoint& endpoint_;
    BanList& bans_;
    PasswordLockout& passwordLockout_;
    const ServerSettings& settings_;
    const platform::Clock& clock_;
    AdministratorRegistry administrators_;
    bool shutdownRequested_ = false;
    std::function<bool()> scriptReload_;
    bool shutdownArmed_ = false;
    // Monotonic seconds of the last first (or too late) shut-down attempt.
    std::int64_t firstShutdownAttemptTime_ = 0;
};

}  // namespace varn
