#include <gtest/gtest.h>

#include "admin/PasswordLockout.h"

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
