#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "game/PlayerView.h"
#include "net/PeerAddress.h"

namespace varn {

// Why a player left; each has its own log line, notice and left-reason byte.
enum class LeaveReason : std::uint8_t { Quit, Timeout, Kick, Ban, ChatFlood, CrcMismatch, CrcTimeout, Trainer };

// Why a join was refused, in the order the rules are checked.
enum class JoinRefusal : std::uint8_t {
    LockedOut,
    AlreadyJoined,
    Banned,
    ServerFull,
    TooSoon,
    WrongVersion,
    EmptyName,
    NameRefused,
    WrongPassword,
    NoFreeId,
    ByObserver,
};

// Who removed or banned a player, as the removal line names it ("by Admin <name>", "by Script <file>").
struct Actor {
    enum class Kind : std::uint8_t { Server, Administrator, Script };
    Kind kind = Kind::Server;
    std::string_view name;
};

enum class PasswordKind : std::uint8_t { PlayerJoin, AdminLogin };
enum class SocketKind : std::uint8_t { Game, Admin, Browser };

struct PlayerJoined {
    PlayerView player;
};
struct PlayerLeft {
    PlayerView player;
    LeaveReason reason;
    Actor by;
};
struct ChatSent {
    PlayerView player;
    std::uint8_t kind;
    std::string_view text;
};
struct PrivateMessageSent {
    PlayerView from;
    PlayerView to;
    std::string_view text;
};
struct PlayerDied {
    PlayerView victim;
    std::optional<PlayerView> killer;  // none for a death without a killer
};
struct PlayerScored {
    PlayerView player;
    std::int16_t score;
};
struct JoinRefused {
    std::string_view ipText;
    std::string_view name;  // empty when the join was refused before its name was read
    JoinRefusal reason;
};
struct WrongPasswordGiven {
    std::string_view ipText;
    PasswordKind kind;
};
struct AddressLockedOut {
    std::string_view ipText;
    PasswordKind kind;
};
struct SendDropped {
    SocketKind socket;
    std::size_t length;
};
struct BanAdded {
    std::string_view entry;
    Actor by;
    bool automatic;  // a flood ban the server made itself
};
struct BanRemoved {
    std::string_view entry;
    Actor by;
};
struct BanExpired {
    std::string_view entry;
};
struct AdministratorLoggedIn {
    std::int32_t id;
    std::string_view name;
    std::string_view ipText;
};
struct AdministratorLoggedOut {
    std::int32_t id;
    std::string_view name;
    bool timedOut;
};
struct AdministratorSaid {
    std::int32_t id;
    std::string_view name;
    std::string_view text;
    std::string_view ipText;
};
struct SecondPassed {
    std::int64_t monotonicSeconds;
};

// A join that passed every rule of the server, before its record is added.
struct JoinRequest {
    std::string_view name;
    std::string_view ipText;
    const PeerAddress& address;
};
// A chat text beginning with '/' other than "/me ", "/slap " and "/msg ": swallowed for everyone.
struct SlashCommand {
    PlayerView player;
    std::string_view text;  // from the '/' on
};
// An administrator's say beginning with '!'.
struct AdministratorCommand {
    std::int32_t id;
    std::string_view name;
    std::string_view text;  // from the '!' on
    std::string_view ipText;
};
enum class ChatVerdict : std::uint8_t { Relay, Swallow };

// What a feature that reacts to the game implements. Every method has an empty default, so an
// observer writes only what it needs. Events are raised where the game writes the matching line,
// before that handler's sends; the views are valid for the call only. An observer never changes a
// record: it asks the game for an action (GameServer::requestKick and the like), carried out after
// the handler.
class GameObserver {
public:
    virtual ~GameObserver() = default;

    virtual void onServerStarted() {}
    virtual void onServerStopping() {}
    virtual void onSecondPassed(const SecondPassed&) {}
    virtual void onPlayerJoined(const PlayerJoined&) {}
    virtual void onPlayerLeft(const PlayerLeft&) {}
    virtual void onChatSent(const ChatSent&) {}
    virtual void onPrivateMessageSent(const PrivateMessageSent&) {}
    virtual void onPlayerDied(const PlayerDied&) {}
    virtual void onPlayerScored(const PlayerScored&) {}
    virtual void onJoinRefused(const JoinRefused&) {}
    virtual void onWrongPassword(const WrongPasswordGiven&) {}
    virtual void onLockedOut(const AddressLockedOut&) {}
    virtual void onSendDropped(const SendDropped&) {}
    virtual void onBanAdded(const BanAdded&) {}
    virtual void onBanRemoved(const BanRemoved&) {}
    virtual void onBanExpired(const BanExpired&) {}
    virtual void onAdministratorLoggedIn(const AdministratorLoggedIn&) {}
    virtual void onAdministratorLoggedOut(const AdministratorLoggedOut&) {}
    virtual void onAdministratorSaid(const AdministratorSaid&) {}

    // Decision points, answered at once. A join refused here gets the notice returned (one of the
    // existing notice bytes) and leaves no record.
    virtual std::optional<std::uint8_t> decideJoin(const JoinRequest&) { return std::nullopt; }
    // After the repeat filter and the chat's log line, before the relay.
    virtual ChatVerdict decideChat(const ChatSent&) { return ChatVerdict::Relay; }
    virtual void onSlashCommand(const SlashCommand&) {}
    // True when the observer took the command: the say is then not relayed.
    virtual bool onAdministratorCommand(const AdministratorCommand&) { return false; }
};

}  // namespace varn
