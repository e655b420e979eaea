#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/LoopTimers.h"
#include "app/MainLoop.h"
#include "support/GameServerFixture.h"

namespace varn {
namespace {

using testing::bytesOf;
using Bytes = std::vector<std::uint8_t>;

// How the system clock is set while the server runs: not at all, or an hour either way.
struct ClockStep {
    const char* name;
    std::int64_t seconds;
};

void PrintTo(const ClockStep& step, std::ostream* out) {
    *out << step.name;
}

// A server with the main loop's timers over a manual clock. Time passes one second at a time, with
// two loop passes in each second; stepWallClock sets the calendar as an operator or a time service
// would, while no time passes.
class WallClockStepTest : public testing::GameServerFixture, public ::testing::WithParamInterface<ClockStep> {
protected:
    void startTimers() {
        start();
        loop = std::make_unique<MainLoop>(clock);
        timers = std::make_unique<LoopTimers>(*loop, clock, *server, *gameEndpoint, *adminEndpoint, 2);
    }

    void elapse(int seconds) {
        for (int second = 0; second < seconds; ++second) {
            clock.advanceSeconds(1);
            runDueTimers();
            for (const PeerAddress& peer : keptAlive)
                receiveGame(peer, {5});
            runDueTimers();
        }
    }

    void stepWallClock() {
        clock.stepCalendarSeconds(GetParam().seconds);
        runDueTimers();
    }

    // A pass of the loop's timers at the clock's time.
    void runDueTimers() { loop->runDueTimers(clock.monotonicMilliseconds()); }

    std::size_t countSent(const PeerAddress& to, const Bytes& datagram) const {
        const auto sent = gameSentTo(to);
        return static_cast<std::size_t>(std::count(sent.begin(), sent.end(), datagram));
    }

    bool logHas(std::string_view line) const {
        const auto lines = log.lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    std::unique_ptr<MainLoop> loop;
    std::unique_ptr<LoopTimers> timers;
    // Players that answer every second, so that no time-out gets in the way of what a test watches.
    std::vector<PeerAddress> keptAlive;
};

TEST_P(WallClockStepTest, SilentPlayerTimesOutAfterSixteenToSeventeenSeconds) {
    startTimers();
    players.add(peer(2), "Rico");
    elapse(3);
    stepWallClock();
    elapse(13);
    ASSERT_NE(players.find(0), nullptr) << "silent for 16 passes, still there";
    elapse(1);
    EXPECT_EQ(players.find(0), nullptr) << "gone at the 17th";
    EXPECT_TRUE(logHas("QUIT: 'Rico', PlayerID = 0 ... quit due to timeout."));
}

TEST_P(WallClockStepTest, PlayersArePingedOnceEverySecond) {
    startTimers();
    players.add(peer(2), "Rico");
    keptAlive.push_back(peer(2));
    elapse(2);
    network.clearSent();
    stepWallClock();
    EXPECT_EQ(countSent(peer(2), bytesOf({4})), 0u) << "setting the clock is no second passing";
    elapse(10);
    EXPECT_EQ(countSent(peer(2), bytesOf({4})), 10u);
}

TEST_P(WallClockStepTest, JoinFloodIsJudgedOnTheSixthPassAfterTheJoin) {
    startTimers();
    const Bytes join = {1, 24, 'R', 'i', 'c', 'o', '|', 0};
    receiveGame(peer(2), join);
    ASSERT_NE(players.find(0), nullptr);
    keptAlive.push_back(peer(2));
    for (const std::uint16_t port : {std::uint16_t{5001}, std::uint16_t{5002}}) {
        receiveGame(peer(2, port), join);
        EXPECT_EQ(gameSentTo(peer(2, port)), std::vector<Bytes>{bytesOf({6})})
            << "a repeated join is refused";
    }
    elapse(2);
    stepWallClock();
    elapse(3);
    EXPECT_FALSE(logHas("BANNED: '127.0.0.2' for Join Flood.")) << "five passes: not judged yet";
    EXPECT_EQ(server->recentJoins().size(), 1u);
    elapse(1);
    EXPECT_TRUE(logHas("BANNED: '127.0.0.2' for Join Flood."));
    EXPECT_TRUE(server->recentJoins().empty());
}

TEST_P(WallClockStepTest, ClientCheckSumIsRequestedEveryThirtySeconds) {
    startTimers();
    players.add(peer(2), "Rico");
    keptAlive.push_back(peer(2));
    const Bytes request = bytesOf({25});
    elapse(10);
    stepWallClock();
    elapse(19);
    EXPECT_EQ(countSent(peer(2), request), 0u) << "29 seconds";
    elapse(1);
    EXPECT_EQ(countSent(peer(2), request), 1u) << "30 seconds";
    elapse(29);
    EXPECT_EQ(countSent(peer(2), request), 1u) << "59 seconds";
    elapse(1);
    EXPECT_EQ(countSent(peer(2), request), 2u) << "60 seconds";
}

TEST_P(WallClockStepTest, RemoteShutdownNeedsTheSecondAttemptWithinFiveSeconds) {
    configure("AdminPassword secret\nAdminAllowShutdown 1\n");
    startTimers();
    const PeerAddress admin = peer(9);
    receiveAdmin(admin, {13, 25, 'b', 'o', 's', 's', '|', 's', 'e', 'c', 'r', 'e', 't', 0});
    ASSERT_NE(adminServer->administrators().find(0), nullptr);
    const auto attempt = [&] {
        network.clearSent();
        receiveAdmin(admin, {18});
        const auto answers = adminSentTo(admin);
        return answers.size() == 1 && answers[0].size() == 2 && answers[0][0] == 18 ? answers[0][1] : -1;
    };
    EXPECT_EQ(attempt(), 1) << "first attempt";
    stepWallClock();
    elapse(5);
    EXPECT_EQ(attempt(), 2) << "five seconds later is too late";
    stepWallClock();
    elapse(4);
    EXPECT_EQ(attempt(), 3) << "four seconds later is in time";
    EXPECT_TRUE(adminServer->shutdownRequested());
}

TEST_P(WallClockStepTest, SendLimitPeriodLastsOneSecond) {
    configure("ServerSendLimitEnabled 1\nServerSendLimit 100\nServerSendLimitMaxAllowed 0\n");
    startTimers();
    const std::uint8_t datagram[10] = {};
    elapse(1);
    int sent = 0;
    while (gameEndpoint->send(peer(2), datagram, sizeof datagram) > 0 && sent < 100)
        ++sent;
    ASSERT_EQ(sent, 10) << "100 bytes a period";
    stepWallClock();
    EXPECT_EQ(gameEndpoint->send(peer(2), datagram, sizeof datagram), 0) << "the period goes on";
    elapse(1);
    EXPECT_EQ(gameEndpoint->send(peer(2), datagram, sizeof datagram), 10) << "a new period";
    EXPECT_TRUE(gameEndpoint->isOpen);
}

// An expiry date is a date: it is reached by the calendar, so setting the system clock moves it
// nearer or further, and the once-a-second pass notices it.
TEST_P(WallClockStepTest, TimedBanRunsOutAtThePassThatReachesItsDate) {
    startTimers();
    BanDetails details;
    details.until = clock.calendarSeconds() + 10;
    bans.add("127.0.0.0/24", details);
    elapse(5);
    EXPECT_TRUE(bans.isBannedAddress(peer(2)));
    stepWallClock();
    const std::int64_t secondsLeft = *details.until - clock.calendarSeconds();
    if (secondsLeft > 0) {
        elapse(static_cast<int>(secondsLeft) - 1);
        EXPECT_TRUE(bans.isBannedAddress(peer(2))) << "one second before its date";
        EXPECT_FALSE(logHas("SERVER: Ban on 127.0.0.0/24 expired."));
    }
    elapse(1);
    EXPECT_FALSE(bans.isBannedAddress(peer(2)));
    elapse(2);
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "SERVER: Ban on 127.0.0.0/24 expired."), 1);
}

INSTANTIATE_TEST_SUITE_P(ClockSteps, WallClockStepTest,
                         ::testing::Values(ClockStep{"NotSet", 0}, ClockStep{"SetAnHourForward", 3600},
                                           ClockStep{"SetAnHourBack", -3600}),
                         [](const ::testing::TestParamInfo<ClockStep>& step) { return step.param.name; });

}  // namespace
}  // namespace varn
