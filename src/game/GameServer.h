#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "access/PasswordLockout.h"
#include "game/PlayerRegistry.h"
#include "protocol/Packet.h"
#include "net/PeerAddress.h"
#include "protocol/GameProtocol.h"

namespace varn {

class BanList;
struct ServerSettings;
class UdpEndpoint;
namespace platform {
class Clock;
}

inline constexpr std::size_t kMotdPacketSize = 2024;
inline constexpr std::size_t kMotdTextCapacity = kMotdPacketSize - 1;
inline constexpr std::size_t kMaxLoggedPlayers = 50;

// A join-flood table entry: once-per-second passes seen, and joins from the address meanwhile.
struct JoinRecord {
    std::uint32_t ticks = 0;
    std::uint32_t attempts = 0;
};

// The game session: the players and administrators, the two endpoints, the session settings and
// the state the protocol handlers share.
class GameServer {
public:
    // The settings stay the caller's: the administrator's password change writes to them.
    GameServer(PlayerRegistry& playerRegistry, UdpEndpoint& gameSocket, UdpEndpoint& adminSocket,
               BanList& banList, ServerSettings& settings, const platform::Clock& clock);
    ~GameServer();
    GameServer(const GameServer&) = delete;
    GameServer& operator=(const GameServer&) = delete;

    // One game datagram: its signed first byte, the bytes after it, the sender, the whole length.
    void processCommand(std::int32_t commandId, const std::uint8_t* payload, const PeerAddress& from,
                        std::int32_t numbytes);
    // One admin datagram, with the same four arguments.
    void processAdminCommand(std::int32_t commandId, const std::uint8_t* payload, const PeerAddress& from,
                             std::int32_t numbytes);

    // Sends to every active player but exceptId (-1: nobody), then, with alsoAdmins, to every admin.
    void broadcast(const std::uint8_t* packet, std::size_t length, std::int32_t exceptId, bool alsoAdmins);
    void sendWelcome(const PeerAddress& peer, std::int32_t id, bool toAdmin);

    // The once-per-second pass and the 30-second tick.
    void checkChatFlood(std::int32_t maxCount);
    void resetChatCounters();
    void checkJoinFlood();
    void checkTimeouts(std::int32_t limitSeconds);
    void addIdleTime(std::int32_t seconds);
    void sendPings();
    void checkClientCrc();
    // Once a minute at most: the summary of the wrong passwords that were not logged one by one.
    void reportWrongPasswords();

    // Relays a player's state report to the others: the full packet to players in range, the
    // reduced one to the rest.
    void relaySync(std::int32_t senderId, const PacketReader& payload);

    // Reads "motd.txt" into motdPacket; false (with its error line) when it cannot be opened.
    bool loadMessageOfTheDay();

    // What the handlers of each concern share.
    BanList& bans() { return bans_; }
    const ServerSettings& settings() const { return settings_; }
    bool logsChat() const;
    // Replaces the in-game password in memory; false when there is none to replace.
    bool changeServerPassword(std::string_view password);
    const platform::Clock& clock() const { return clock_; }
    void sendToPlayer(const PeerAddress& to, const std::uint8_t* data, std::size_t length) {
        sendTo(gameEndpoint, to, data, length);
    }
    void sendToAdmin(const PeerAddress& to, const std::uint8_t* data, std::size_t length) {
        sendTo(adminEndpoint, to, data, length);
    }

    PlayerRegistry& players;
    PlayerRegistry admins;
    std::int32_t game = 0;
    std::int32_t gameMode = 0;
    std::int32_t maxPlayers = 0;
    UdpEndpoint& gameEndpoint;
    UdpEndpoint& adminEndpoint;
    std::uint8_t shutdownRequested = 0;
    std::uint8_t killFirstReceived = 0;
    // Monotonic seconds of the last first (or too late) shut-down attempt.
    std::int64_t killFirstTime = 0;
    std::int32_t lastChatCycle = 0;
    std::uint32_t expectedClientCrc = kExpectedClientCrc;
    std::map<std::string, JoinRecord, std::less<>> recentJoins;
    std::array<std::uint32_t, kMaxLoggedPlayers> loggedVehicle{};
    std::array<std::uint32_t, kMaxLoggedPlayers> loggedWeapon{};
    std::uint8_t passwordEnabled = 0;
    std::array<std::uint8_t, kMotdPacketSize> motdPacket{};
    std::uint8_t motdLoaded = 0;
    // Wrong passwords per address, when the operator has switched the lock-out on.
    PasswordLockout passwordLockout;

private:
    void sendTo(UdpEndpoint& endpoint, const PeerAddress& to, const std::uint8_t* data, std::size_t length);

    BanList& bans_;
    ServerSettings& settings_;
    const platform::Clock& clock_;
};

}  // namespace varn
