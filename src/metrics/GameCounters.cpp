#include "metrics/GameCounters.h"

namespace varn {

namespace {

template <std::size_t Size, typename Enum>
void countIn(std::array<std::uint64_t, Size>& counts, Enum value) {
    const auto index = static_cast<std::size_t>(value);
    if (index < Size) ++counts[index];
}

}  // namespace

void GameCounters::onPlayerJoined(const PlayerJoined&) {
    ++joinsAccepted_;
    ++playersConnected_;
}

void GameCounters::onPlayerLeft(const PlayerLeft& event) {
    countIn(leaves_, event.reason);
    if (playersConnected_ > 0) --playersConnected_;
}

void GameCounters::onChatSent(const ChatSent&) { ++chatMessages_; }

void GameCounters::onJoinRefused(const JoinRefused& event) { countIn(joinsRefused_, event.reason); }

void GameCounters::onWrongPassword(const WrongPasswordGiven& event) { countIn(wrongPasswords_, event.kind); }

void GameCounters::onLockedOut(const AddressLockedOut& event) { countIn(lockOuts_, event.kind); }

void GameCounters::onBanAdded(const BanAdded&) { ++bansAdded_; }

void GameCounters::onBanRemoved(const BanRemoved&) { ++bansRemoved_; }

void GameCounters::onBanExpired(const BanExpired&) { ++bansExpired_; }

void GameCounters::onAdministratorLoggedIn(const AdministratorLoggedIn&) {
    ++administratorLogins_;
    ++administratorsConnected_;
}

void GameCounters::onAdministratorLoggedOut(const AdministratorLoggedOut&) {
    if (administratorsConnected_ > 0) --administratorsConnected_;
}

std::string_view labelOf(JoinRefusal reason) {
    switch (reason) {
        case JoinRefusal::LockedOut: return "locked_out";
        case JoinRefusal::AlreadyJoined: return "already_joined";
        case JoinRefusal::Banned: return "banned";
        case JoinRefusal::ServerFull: return "server_full";
        case JoinRefusal::TooSoon: return "too_soon";
        case JoinRefusal::WrongVersion: return "wrong_version";
        case JoinRefusal::EmptyName: return "empty_name";
        case JoinRefusal::NameRefused: return "name_refused";
        case JoinRefusal::WrongPassword: return "wrong_password";
        case JoinRefusal::NoFreeId: return "no_free_id";
        case JoinRefusal::ByObserver: return "by_script";
    }
    return "other";
}

std::string_view labelOf(LeaveReason reason) {
    switch (reason) {
        case LeaveReason::Quit: return "quit";
        case LeaveReason::Timeout: return "timeout";
        case LeaveReason::Kick: return "kick";
        case LeaveReason::Ban: return "ban";
        case LeaveReason::ChatFlood: return "chat_flood";
        case LeaveReason::CrcMismatch: return "checksum_mismatch";
        case LeaveReason::CrcTimeout: return "checksum_timeout";
        case LeaveReason::Trainer: return "trainer";
    }
    return "other";
}

std::string_view labelOf(PasswordKind kind) {
    switch (kind) {
        case PasswordKind::PlayerJoin: return "join";
        case PasswordKind::AdminLogin: return "admin";
    }
    return "other";
}

}  // namespace varn
