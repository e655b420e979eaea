#include <gtest/gtest.h>

#include "varnweb/LoginGuard.h"

namespace varnweb {
namespace {

using Verdict = LoginGuard::Verdict;
constexpr std::uint32_t kAlice = 0x0100007F;
constexpr std::uint32_t kBob = 0x0200007F;
constexpr std::uint32_t kCarol = 0x0300007F;

void wrongPassword(LoginGuard& guard, std::uint32_t client, std::int64_t now) {
    ASSERT_EQ(guard.admit(client, now), Verdict::forward);
    guard.finished(client, true, now);
}

TEST(LoginGuard, HoldsAClientBackBeforeTheServerWouldLockTheConsoleOut) {
    LoginGuard guard;
    for (std::uint32_t count = 0; count < LoginGuard::kClientLimit; ++count) wrongPassword(guard, kAlice, 100 + count);
    EXPECT_EQ(guard.admit(kAlice, 110), Verdict::clientHeld);
    EXPECT_EQ(guard.secondsUntilFree(kAlice, 110), LoginGuard::kMemorySeconds - 10);
    // Another client still gets the console's last try below the server's limit, and then nobody does.
    wrongPassword(guard, kBob, 111);
    EXPECT_EQ(guard.admit(kCarol, 112), Verdict::consoleHeld);
    EXPECT_LT(LoginGuard::kConsoleLimit, LoginGuard::kServerLimit);
    // Once the server's window and lock have passed, the tries are forgotten.
    EXPECT_EQ(guard.admit(kAlice, 100 + LoginGuard::kMemorySeconds + 2), Verdict::forward);
}

TEST(LoginGuard, LoginsWaitingForTheirAnswerCountAsWrongUntilAnswered) {
    LoginGuard guard;
    for (std::uint32_t count = 0; count < LoginGuard::kClientLimit; ++count) {
        EXPECT_EQ(guard.admit(kAlice, 100), Verdict::forward);
    }
    EXPECT_EQ(guard.admit(kAlice, 100), Verdict::clientHeld);
    // Right passwords are not counted once answered.
    for (std::uint32_t count = 0; count < LoginGuard::kClientLimit; ++count) guard.finished(kAlice, false, 101);
    EXPECT_EQ(guard.admit(kAlice, 101), Verdict::forward);
}

}  // namespace
}  // namespace varnweb
