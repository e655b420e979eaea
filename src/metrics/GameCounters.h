#pragma once

#include <array>
#include <cstdint>

#include "game/GameEvents.h"

namespace varn {

// The game's events counted: an observer registered with the game. Plain integers, changed only on
// the loop's thread and read by the scrape between two events.
class GameCounters final : public GameObserver {
public:
    static constexpr std::size_t kJoinRefusals = static_cast<std::size_t>(JoinRefusal::ByObserver) + 1;
    static constexpr std::size_t kLeaveReasons = static_cast<std::size_t>(LeaveReason::Trainer) + 1;
    static constexpr std::size_t kPasswordKinds = static_cast<std::size_t>(PasswordKind::AdminLogin) + 1;

    void onPlayerJoined(const PlayerJoined&) override;
    void onPlayerLeft(const PlayerLeft& event) override;
    void onChatSent(const ChatSent&) override;
    void onJoinRefused(const JoinRefused& event) override;
    void onWrongPassword(const WrongPasswordGiven& event) override;
    void onLockedOut(const AddressLockedOut& event) override;
    void onBanAdded(const BanAdded&) override;
    void onBanRemoved(const BanRemoved&) override;
    void onBanExpired(const BanExpired&) override;
    void onAdministratorLoggedIn(const AdministratorLoggedIn&) override;
    void onAdministratorLoggedOut(const AdministratorLoggedOut&) override;

    std::int64_t playersConnected() const { return playersConnected_; }
    std::uint64_t joinsAccepted() const { return joinsAccepted_; }
    std::uint64_t joinsRefused(JoinRefusal reason) const { return joinsRefused_[static_cast<std::size_t>(reason)]; }
    std::uint64_t leaves(LeaveReason reason) const { return leaves_[static_cast<std::size_t>(reason)]; }
    std::uint64_t chatMessages() const { return chatMessages_; }
    std::uint64_t wrongPasswords(PasswordKind kind) const { return wrongPasswords_[static_cast<std::size_t>(kind)]; }
    std::uint64_t lockOuts(PasswordKind kind) const { return lockOuts_[static_cast<std::size_t>(kind)]; }
    std::uint64_t bansAdded() const { return bansAdded_; }
    std::uint64_t bansRemoved() const { return bansRemoved_; }
    std::uint64_t bansExpired() const { return bansExpired_; }
    std::int64_t administratorsConnected() const { return administratorsConnected_; }
    std::uint64_t administratorLogins() const { return administratorLogins_; }

private:
    std::int64_t playersConnected_ = 0;
    std::uint64_t joinsAccepted_ = 0;
    std::array<std::uint64_t, kJoinRefusals> joinsRefused_{};
    std::array<std::uint64_t, kLeaveReasons> leaves_{};
    std::uint64_t chatMessages_ = 0;
    std::array<std::uint64_t, kPasswordKinds> wrongPasswords_{};
    std::array<std::uint64_t, kPasswordKinds> lockOuts_{};
    std::uint64_t bansAdded_ = 0;
    std::uint64_t bansRemoved_ = 0;
    std::uint64_t bansExpired_ = 0;
    std::int64_t administratorsConnected_ = 0;
    std::uint64_t administratorLogins_ = 0;
};

// The label values the exposition shows for each reason and kind.
std::string_view labelOf(JoinRefusal reason);
std::string_view labelOf(LeaveReason reason);
std::string_view labelOf(PasswordKind kind);

}  // namespace varn
