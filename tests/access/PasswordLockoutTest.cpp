#include <gtest/gtest.h>

#include "access/PasswordLockout.h"

namespace varn {
namespace {

using Kind = PasswordLockout::Kind;

PeerAddress peer(std::uint32_t lastOctet, std::uint16_t port = 5000) {
    return PeerAddress::fromHostOrder(0x7F000000u | lastOctet, port);
}

TEST(PasswordLockoutTest, FifthFailureWithinAMinuteLocksThatKindForAMinute) {
    PasswordLockout lockout;
    const std::int64_t start = 1000;
    for (int failure = 1; failure <= 4; ++failure) {
        EXPECT_FALSE(lockout.recordFailure(Kind::AdminLogin, peer(2), start + failure));
    }
    EXPECT_TRUE(lockout.recordFailure(Kind::AdminLogin, peer(2, 7000), start + 59)) << "ports do not matter";
    EXPECT_TRUE(lockout.isLockedOut(Kind::AdminLogin, peer(2), start + 59));
    EXPECT_TRUE(lockout.isLockedOut(Kind::AdminLogin, peer(2), start + 118));
    EXPECT_FALSE(lockout.isLockedOut(Kind::AdminLogin, peer(2), start + 119));
    EXPECT_FALSE(lockout.isLockedOut(Kind::PlayerJoin, peer(2), start + 60)) << "the other kind is untouched";
    EXPECT_FALSE(lockout.isLockedOut(Kind::AdminLogin, peer(3), start + 60));

    // After the lock-out a new count starts.
    EXPECT_FALSE(lockout.recordFailure(Kind::AdminLogin, peer(2), start + 120));
    EXPECT_FALSE(lockout.isLockedOut(Kind::AdminLogin, peer(2), start + 120));
}

TEST(PasswordLockoutTest, SlowGuessesAndSuccessesDoNotLock) {
    PasswordLockout lockout;
    for (int failure = 0; failure < 10; ++failure) {
        EXPECT_FALSE(lockout.recordFailure(Kind::PlayerJoin, peer(2), 1000 + failure * 15));
    }
    for (int failure = 0; failure < 4; ++failure) lockout.recordFailure(Kind::PlayerJoin, peer(3), 1000);
    lockout.recordSuccess(Kind::PlayerJoin, peer(3));
    EXPECT_FALSE(lockout.recordFailure(Kind::PlayerJoin, peer(3), 1001));
}

TEST(PasswordLockoutTest, TableStaysBounded) {
    PasswordLockout lockout;
    for (std::uint32_t address = 0; address < PasswordLockout::kMaxEntries + 100; ++address) {
        lockout.recordFailure(Kind::AdminLogin, PeerAddress::fromHostOrder(0x0A000000u + address, 1), 1000);
    }
    EXPECT_EQ(lockout.size(), PasswordLockout::kMaxEntries);
}

PeerAddress numbered(std::uint32_t index) { return PeerAddress::fromHostOrder(0x0A000000u + index, 1); }

// Locks kMaxEntries addresses of the kind out at the given time.
void lockWholeTable(PasswordLockout& lockout, Kind kind, std::int64_t now) {
    for (std::uint32_t address = 0; address < PasswordLockout::kMaxEntries; ++address) {
        for (std::uint32_t failure = 0; failure < PasswordLockout::kMaxFailures; ++failure) {
            lockout.recordFailure(kind, numbered(address), now);
        }
    }
}

TEST(PasswordLockoutTest, LockedEntriesOutliveAnyNumberOfNewAddresses) {
    PasswordLockout lockout;
    for (int failure = 0; failure < 5; ++failure) lockout.recordFailure(Kind::PlayerJoin, peer(2), 1000);
    for (std::uint32_t address = 0; address < 3 * PasswordLockout::kMaxEntries; ++address) {
        lockout.recordFailure(Kind::PlayerJoin, numbered(address), 1000 + address / 1000);
    }
    EXPECT_EQ(lockout.size(), PasswordLockout::kMaxEntries);
    EXPECT_TRUE(lockout.isLockedOut(Kind::PlayerJoin, peer(2), 1059));
    EXPECT_FALSE(lockout.admits(Kind::PlayerJoin, peer(2), 1059));
    EXPECT_TRUE(lockout.admits(Kind::PlayerJoin, peer(3), 1059)) << "unlocked entries make room";
    EXPECT_TRUE(lockout.admits(Kind::PlayerJoin, peer(2), 1060));
}

TEST(PasswordLockoutTest, AFullTableOfLockedAdminEntriesAdmitsNoNewAddressUntilOneFrees) {
    PasswordLockout lockout;
    lockWholeTable(lockout, Kind::AdminLogin, 1000);
    const PeerAddress newcomer = PeerAddress::fromHostOrder(0x0B000001u, 1);
    EXPECT_FALSE(lockout.admits(Kind::AdminLogin, newcomer, 1000));
    EXPECT_FALSE(lockout.admits(Kind::AdminLogin, newcomer, 1059));
    EXPECT_FALSE(lockout.recordFailure(Kind::AdminLogin, newcomer, 1059));
    EXPECT_EQ(lockout.failuresInWindow(Kind::AdminLogin, newcomer), 0u) << "no room to count it in";
    EXPECT_TRUE(lockout.admits(Kind::PlayerJoin, newcomer, 1000)) << "each kind has its own table";

    // At the end of the minute the freed entries make room, and only then.
    EXPECT_TRUE(lockout.admits(Kind::AdminLogin, newcomer, 1060));
    lockout.recordFailure(Kind::AdminLogin, newcomer, 1060);
    EXPECT_EQ(lockout.failuresInWindow(Kind::AdminLogin, newcomer), 1u);
    EXPECT_EQ(lockout.size(), PasswordLockout::kMaxEntries);
}

// Player joins fail open: with the table full of locked entries, an address it does not hold may
// still try; it is not counted, and its wrong passwords get no line of their own but the summary's.
TEST(PasswordLockoutTest, AFullTableOfLockedPlayerEntriesLetsNewAddressesTryUncounted) {
    PasswordLockout lockout;
    lockWholeTable(lockout, Kind::PlayerJoin, 1000);
    const PeerAddress newcomer = PeerAddress::fromHostOrder(0x0B000001u, 1);
    EXPECT_TRUE(lockout.admits(Kind::PlayerJoin, newcomer, 1000));
    for (int attempt = 0; attempt < 8; ++attempt) {
        const PasswordLockout::WrongPassword outcome =
            lockout.recordWrongPassword(Kind::PlayerJoin, newcomer, 1000 + attempt);
        EXPECT_FALSE(outcome.logged);
        EXPECT_FALSE(outcome.lockedOut);
    }
    EXPECT_TRUE(lockout.admits(Kind::PlayerJoin, newcomer, 1010)) << "never locked: it was never counted";
    EXPECT_EQ(lockout.failuresInWindow(Kind::PlayerJoin, newcomer), 0u);
    EXPECT_FALSE(lockout.admits(Kind::PlayerJoin, numbered(7), 1010)) << "the locked ones stay locked";
    std::uint32_t attempts = 0;
    std::size_t addresses = 0;
    ASSERT_TRUE(lockout.takeMinuteReport(1060, attempts, addresses));
    EXPECT_EQ(attempts, 8u);
    EXPECT_EQ(addresses, 1u);
}

// Wrong player passwords from many addresses at once: a line each for at most twenty, then ten a
// second; the rest go to the summary. Each address still gets its own count and lock-out.
TEST(PasswordLockoutTest, PlayerWrongPasswordLinesShareABudget) {
    PasswordLockout lockout;
    const auto loggedAt = [&](std::int64_t now, std::uint32_t firstAddress, std::uint32_t count) {
        std::uint32_t logged = 0;
        for (std::uint32_t address = firstAddress; address < firstAddress + count; ++address) {
            logged += lockout.recordWrongPassword(Kind::PlayerJoin, numbered(address), now).logged ? 1 : 0;
        }
        return logged;
    };
    EXPECT_EQ(loggedAt(1000, 0, 100), 20u);
    EXPECT_EQ(loggedAt(1000, 100, 100), 0u);
    EXPECT_EQ(loggedAt(1001, 200, 100), 10u);
    for (std::uint32_t failure = 1; failure < PasswordLockout::kMaxFailures; ++failure) {
        lockout.recordWrongPassword(Kind::PlayerJoin, numbered(150), 1001);
    }
    EXPECT_TRUE(lockout.isLockedOut(Kind::PlayerJoin, numbered(150), 1001)) << "counted though not logged";
    std::uint32_t attempts = 0;
    std::size_t addresses = 0;
    ASSERT_TRUE(lockout.takeMinuteReport(1060, attempts, addresses));
    EXPECT_EQ(attempts, 270u + 4u);
    EXPECT_EQ(addresses, 270u);
}

TEST(PasswordLockoutTest, FailuresInTheWindowAreCountedUntilTheLockRunsOut) {
    PasswordLockout lockout;
    EXPECT_EQ(lockout.failuresInWindow(Kind::AdminLogin, peer(2)), 0u);
    for (std::uint32_t failure = 1; failure <= 5; ++failure) {
        lockout.recordFailure(Kind::AdminLogin, peer(2), 1000);
        EXPECT_EQ(lockout.failuresInWindow(Kind::AdminLogin, peer(2)), failure);
    }
    lockout.recordFailure(Kind::AdminLogin, peer(2), 1060);
    EXPECT_EQ(lockout.failuresInWindow(Kind::AdminLogin, peer(2)), 1u);
    lockout.recordSuccess(Kind::AdminLogin, peer(2));
    EXPECT_EQ(lockout.failuresInWindow(Kind::AdminLogin, peer(2)), 0u);
}

TEST(PasswordLockoutTest, WrongAdminPasswordsShareABudgetOfTwentyRefilledAtTenASecond) {
    PasswordLockout lockout;
    const auto spend = [&](std::int64_t now) {
        int spent = 0;
        while (lockout.adminGuessAvailable(now) && spent < 100) {
            lockout.recordFailure(Kind::AdminLogin, numbered(static_cast<std::uint32_t>(spent)), now);
            ++spent;
        }
        return spent;
    };
    EXPECT_EQ(spend(1000), 20);
    EXPECT_EQ(spend(1000), 0);
    EXPECT_EQ(spend(1001), 10);
    EXPECT_EQ(spend(1003), 20) << "never more than twenty at once";
    EXPECT_EQ(spend(990), 0) << "a reading that goes back gives nothing back";

    // Player joins and right passwords spend nothing.
    lockout.recordFailure(Kind::PlayerJoin, peer(2), 1004);
    lockout.recordSuccess(Kind::AdminLogin, peer(3));
    EXPECT_EQ(spend(1004), 10);
}

TEST(PasswordLockoutTest, UnloggedAttemptsAreSummedUpOnceAMinute) {
    PasswordLockout lockout;
    std::uint32_t attempts = 0;
    std::size_t addresses = 0;
    EXPECT_FALSE(lockout.takeMinuteReport(1000, attempts, addresses));
    lockout.countUnlogged(peer(2), 1010);
    lockout.countUnlogged(peer(2, 7000), 1030);
    lockout.countUnlogged(peer(3), 1069);
    EXPECT_FALSE(lockout.takeMinuteReport(1069, attempts, addresses)) << "a minute from the first one";
    ASSERT_TRUE(lockout.takeMinuteReport(1070, attempts, addresses));
    EXPECT_EQ(attempts, 3u);
    EXPECT_EQ(addresses, 2u) << "addresses, not ports";
    EXPECT_FALSE(lockout.takeMinuteReport(2000, attempts, addresses)) << "nothing since";

    lockout.countUnlogged(peer(4), 2000);
    EXPECT_FALSE(lockout.takeMinuteReport(2059, attempts, addresses));
    ASSERT_TRUE(lockout.takeMinuteReport(2060, attempts, addresses));
    EXPECT_EQ(attempts, 1u);
    EXPECT_EQ(addresses, 1u);
}

TEST(PasswordLockoutTest, ConstantTimeEqualsComparesWholeTexts) {
    EXPECT_TRUE(constantTimeEquals("secret", "secret"));
    EXPECT_TRUE(constantTimeEquals("", ""));
    EXPECT_FALSE(constantTimeEquals("secre", "secret"));
    EXPECT_FALSE(constantTimeEquals("secrets", "secret"));
    EXPECT_FALSE(constantTimeEquals("Secret", "secret"));
    EXPECT_FALSE(constantTimeEquals("", "secret"));
    EXPECT_FALSE(constantTimeEquals(std::string_view("secret\0", 7), "secret"));
}

}  // namespace
}  // namespace varn
