#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "access/AutomaticBanLimit.h"
#include "access/BanDetails.h"
#include "game/AdministratorChannel.h"
#include "game/GameEvents.h"
#include "game/JoinRateLimit.h"
#include "game/PlayerRegistry.h"
#include "net/PeerAddress.h"
#include "protocol/GameProtocol.h"
#include "protocol/Packet.h"

namespace varn {

class BanList;
class PasswordLockout;
class StatisticsLines;
class UdpEndpoint;
struct ServerSettings;
namespace platform {
class Clock;
}

inline constexpr std::size_t kMotdPacketSize = 2024;
inline constexpr std::size_t kMotdTextCapacity = kMotdPacketSize - 1;
inline constexpr std::size_t kMaxLoggedPlayers = 50;
// The id no player has: a broadcast that leaves nobody out.
inline constexpr std::int32_t kNoPlayer = -1;

// A join-flood table entry: once-per-second passes seen, and joins from the address meanwhile.
struct JoinRecord {
    std::uint32_t ticks = 0;
    std::uint32_t attempts = 0;
};
// Joins by the address text of their sender, until the address is judged.
using RecentJoins = std::map<std::string, JoinRecord, std::less<>>;

// The game session: the players, the game socket and the state the game's handlers share. The
// administrators are reached through the channel the admin server connects.
class GameServer {
public:
    // The settings stay the caller's: the administrator's password change writes to them.
    GameServer(PlayerRegistry& playerRegistry, UdpEndpoint& gameSocket, BanList& banList,
               PasswordLockout& passwordLockout, ServerSettings& settings, const platform::Clock& clock);
    ~GameServer();
    GameServer(const GameServer&) = delete;
    GameServer& operator=(const GameServer&) = delete;

    // ---- the seam: observers, the actions they may ask for, and the read-only view of the players ----

    // Observers are told of every event in the order they were added. The statistics lines are the
    // first observer, added by the constructor. An observer must be removed before it is destroyed.
    void addObserver(GameObserver& observer);
    void removeObserver(GameObserver& observer);

    // Actions an observer asks for. Inside a handler (a datagram, a pass of the loop's timers, an
    // administrator's command) they are carried out after the handler has finished, in the order
    // asked; outside any handler at once. None is ever carried out while a pass walks the players.
    //
    // The chat relay [3][senderId][kind][text][NUL] to one player, or with kNoPlayer to every player
    // and then every administrator. The text is sent as given: the caller has filtered it.
    void requestSendText(std::int32_t playerId, std::uint8_t senderId, std::uint8_t kind, std::string_view text);
    // Removes the player as an administrator's kick or ban does, naming the actor in the line.
    void requestKick(std::int32_t playerId, Actor by);
    void requestBan(std::int32_t playerId, Actor by, BanDetails details, std::string logSuffix = {});

    std::optional<PlayerView> findPlayer(std::int32_t id) const;
    // Every player in ascending id order; the views are valid until the next change of the players.
    std::vector<PlayerView> playerViews() const;
    template <typename Visit>
    void forEachPlayer(Visit&& visit) const {
        players_.forEachView(visit);
    }

    // Opened by everything that handles input (a datagram, a timer pass, an administrator's
    // command): the requests made meanwhile wait until the outermost scope closes.
    class HandlerScope {
    public:
        explicit HandlerScope(GameServer& server);
        ~HandlerScope();
        HandlerScope(const HandlerScope&) = delete;
        HandlerScope& operator=(const HandlerScope&) = delete;

    private:
        GameServer& server_;
    };

    // The one way a player leaves: the reason's log line (the ban entry with it), the
    // PlayerLeft event, the notice, the record removed and the leave broadcast, in that order.
    // False when there is no such player. A ban's details and logSuffix are used by LeaveReason::Ban.
    bool removePlayer(std::int32_t playerId, LeaveReason reason, Actor by = {}, const BanDetails& details = {},
                      std::string_view logSuffix = {});

    // Events that happen outside the game's handlers and enter the seam here.
    void notifyServerStarted();
    void notifyServerStopping();
    void notifySecondPassed();
    void notifySendDropped(const SendDropped& event);
    void notifyWrongPassword(const WrongPasswordGiven& event);
    void notifyLockedOut(const AddressLockedOut& event);
    void notifyBanAdded(const BanAdded& event);
    void notifyBanRemoved(const BanRemoved& event);
    void notifyAdministratorLoggedIn(const AdministratorLoggedIn& event);
    void notifyAdministratorLoggedOut(const AdministratorLoggedOut& event);
    void notifyAdministratorSaid(const AdministratorSaid& event);
    // True when an observer took the command (the say is then not relayed).
    bool decideAdministratorCommand(const AdministratorCommand& event);
    // Takes the bans whose time is up out of the ban list (their lines are the ban list's) and
    // raises BanExpired for each.
    void expireBans();
    // Whether the once-per-second pass has anything to do for the game: players or administrators
    // to police, joins to judge, a minute of flood bans or of wrong passwords still open, a ban that
    // will expire, ban changes waiting for their save. While it has not (and nobody observes the seconds),
    // the loop may skip the pass.
    bool needsSecondTicks() const;
    // Passes that were skipped while nothing needed them: what they would have counted.
    void skipQuietSeconds(std::int64_t seconds);

    // Until connected (and after disconnecting) there are no administrators.
    void connectAdministrators(AdministratorChannel& channel) { administrators_ = &channel; }
    void disconnectAdministrators();

    // One game datagram: its signed first byte, the bytes after it, the sender, the whole length.
    void processCommand(std::int32_t commandId, const std::uint8_t* payload, const PeerAddress& from,
                        std::int32_t datagramLength);

    // Sends to every player, then to every administrator.
    void broadcast(const std::uint8_t* packet, std::size_t length);
    // Sends to every player but exceptId (kNoPlayer: nobody), and to no administrator.
    void broadcastToPlayersExcept(const std::uint8_t* packet, std::size_t length, std::int32_t exceptId);
    void sendToPlayer(const PeerAddress& to, const std::uint8_t* data, std::size_t length);
    // The notice [6][reason] that tells a player why it was refused or removed.
    void sendNotice(const PeerAddress& to, std::uint8_t reason);
    // The welcome, and the message of the day when there is one (always over the game socket). A
    // player's list leaves the player out; an administrator's lists every named player.
    void welcomePlayer(const PeerAddress& peer, std::int32_t id);
    void welcomeAdministrator(const PeerAddress& peer, std::int32_t id);

    // What an administrator may do to a player: both log the removal with the administrator's name,
    // tell the player and everybody else; a ban also enters the player's address in the ban list.
    void kickPlayer(std::int32_t playerId, std::string_view administratorName);
    void banPlayer(std::int32_t playerId, std::string_view administratorName);
    // A ban with a time limit or a reason: the details go into the ban list, and logSuffix ends the
    // ban's log line. False when there is no such player.
    bool banPlayer(std::int32_t playerId, std::string_view administratorName, const BanDetails& details,
                   std::string_view logSuffix);
    std::optional<IpText> playerIpText(std::int32_t playerId) const;
    // Replaces the in-game password in memory; false when there is none to replace.
    bool changeServerPassword(std::string_view password);
    // Reads "motd.txt" for the welcomes; false (with its error line) when it cannot be opened.
    bool loadMessageOfTheDay();
    bool hasMessageOfTheDay() const { return messageOfTheDayLoaded_; }
    const std::array<std::uint8_t, kMotdPacketSize>& messageOfTheDayPacket() const { return motdPacket_; }
    // A join must then carry the server password.
    void requirePassword() { passwordRequired_ = true; }
    bool passwordRequired() const { return passwordRequired_; }

    // The once-per-second pass, its steps in order: flood checks, time-outs, idle time and pings, the
    // wrong-password summary, ban expiry and the SecondPassed event.
    void passSecond(std::int32_t chatFloodMaxCount, std::int32_t timeoutSeconds);
    // The steps of the once-per-second pass, and the 30-second tick.
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

    // What the handlers of each concern share.
    PlayerRegistry& players() { return players_; }
    const PlayerRegistry& players() const { return players_; }
    BanList& bans() { return bans_; }
    PasswordLockout& passwordLockout() { return passwordLockout_; }
    // The bound on the bans the server makes by itself, and the offenders it drops instead.
    AutomaticBanLimit& automaticBans() { return automaticBans_; }
    // The bound on the joins accepted in one second.
    JoinRateLimit& joinRate() { return joinRate_; }
    const ServerSettings& settings() const { return settings_; }
    const platform::Clock& clock() const { return clock_; }
    AdministratorChannel& administrators() { return *administrators_; }
    bool logsChat() const;
    bool isFull() const;
    std::uint32_t expectedClientCrc() const { return expectedClientCrc_; }
    // The join-flood table: an accepted join enters its address, a repeated one counts.
    RecentJoins& recentJoins() { return recentJoins_; }
    std::int32_t chatCycle() const { return lastChatCycle_; }
    // The vehicle and weapon last written to the statistics for a player id.
    std::uint32_t loggedVehicle(std::size_t id) const { return loggedVehicle_.at(id); }
    std::uint32_t loggedWeapon(std::size_t id) const { return loggedWeapon_.at(id); }

    // The game's side of the seam, for its handlers (GameJoin.cpp, GameCommands.cpp and the like).
    template <typename Call>
    void raise(Call&& call) {
        ++raising_;
        for (std::size_t index = 0; index < observers_.size(); ++index) {
            if (observers_[index] != nullptr) call(*observers_[index]);
        }
        if (--raising_ == 0 && observerRemoved_) compactObservers();
    }
    std::optional<std::uint8_t> decideJoin(const JoinRequest& request);
    ChatVerdict decideChat(const ChatSent& event);
    PlayerView viewOf(std::int32_t id) const { return PlayerView(id, *players_.find(id)); }

private:
    enum class WelcomeRecipient : std::uint8_t { Player, Administrator };

    // A request waiting for the end of the handler it was made in.
    struct PendingRequest {
        enum class Kind : std::uint8_t { SendText, Kick, Ban };
        Kind kind = Kind::SendText;
        std::int32_t playerId = kNoPlayer;
        std::uint8_t senderId = 0;
        std::uint8_t chatKind = 0;
        std::string text;  // the chat text, or the ban's log suffix
        Actor::Kind actorKind = Actor::Kind::Server;
        std::string actorName;
        BanDetails details;
    };
    void carryOut(const PendingRequest& request);
    void carryOutPendingRequests();
    void compactObservers();
    // The two halves of removePlayer, for the pass that notes players during its walk and removes
    // them after it: the line, the event and the notice; then the record and the broadcast.
    bool announceRemoval(std::int32_t playerId, LeaveReason reason, Actor by, const BanDetails& details,
                         std::string_view logSuffix);
    void completeRemoval(std::int32_t playerId, LeaveReason reason);
    void sendWelcome(const PeerAddress& peer, std::int32_t id, WelcomeRecipient recipient);
    void sendMessageOfTheDay(const PeerAddress& peer);
    // The sync relay's steps (GameSync.cpp).
    enum class SyncEcho : std::uint8_t { LeaveOutSender, EchoToSender };
    void relayToPlayers(std::int32_t senderId, const PacketReader& payload, const std::uint8_t* full,
                        std::size_t fullLength, SyncEcho echo);
    void logSyncStatistics(std::int32_t senderId, const PacketReader& payload);

    PlayerRegistry& players_;
    UdpEndpoint& gameEndpoint_;
    BanList& bans_;
    PasswordLockout& passwordLockout_;
    ServerSettings& settings_;
    const platform::Clock& clock_;
    AdministratorChannel* administrators_;

    std::int32_t game_ = 0;
    std::int32_t gameMode_ = 0;
    std::int32_t maxPlayers_ = 0;
    bool passwordRequired_ = false;
    std::int32_t lastChatCycle_ = 0;
    std::uint32_t expectedClientCrc_ = kExpectedClientCrc;
    RecentJoins recentJoins_;
    AutomaticBanLimit automaticBans_;
    JoinRateLimit joinRate_;
    std::array<std::uint32_t, kMaxLoggedPlayers> loggedVehicle_{};
    std::array<std::uint32_t, kMaxLoggedPlayers> loggedWeapon_{};
    std::array<std::uint8_t, kMotdPacketSize> motdPacket_{};
    bool messageOfTheDayLoaded_ = false;

    std::vector<GameObserver*> observers_;
    std::unique_ptr<StatisticsLines> statisticsLines_;
    std::vector<PendingRequest> pendingRequests_;
    std::int32_t handlerDepth_ = 0;
    std::int32_t raising_ = 0;
    bool observerRemoved_ = false;
};

}  // namespace varn
