#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/LoopTimers.h"
#include "app/MainLoop.h"
#include "support/GameServerFixture.h"
#include "support/TemporaryDirectory.h"

namespace varn {
namespace {

using testing::bytesOf;
using Bytes = std::vector<std::uint8_t>;
using Milliseconds = LoopTasks::Milliseconds;

// The main loop's timers over a manual clock, with a pass as the server runs it: the timers that
// are due, then the rest decision before the wait.
class LoopTimersRestFixture : public testing::GameServerFixture {
protected:
    void startTimers() {
        start();
        loop = std::make_unique<MainLoop>(clock);
        timers = std::make_unique<LoopTimers>(*loop, clock, *server, *gameEndpoint, *adminEndpoint, 2);
    }

    void pass(bool observersWantSeconds = false) {
        loop->runDueTimers(clock.monotonicMilliseconds());
        timers->restWhileQuiet(observersWantSeconds);
    }

    // Passes every 100 ms, as datagrams might bring them.
    void elapseMilliseconds(int milliseconds) {
        for (int step = 0; step < milliseconds / 100; ++step) {
            clock.advanceMonotonicMilliseconds(100);
            pass();
        }
    }

    std::size_t countSent(const PeerAddress& to, const Bytes& datagram) const {
        const auto sent = gameSentTo(to);
        return static_cast<std::size_t>(std::count(sent.begin(), sent.end(), datagram));
    }

    void TearDown() override {
        GameServerFixture::TearDown();
        if (!folder.empty()) std::filesystem::remove_all(folder);
    }

    std::unique_ptr<MainLoop> loop;
    std::unique_ptr<LoopTimers> timers;
    // A ban file's folder, when a test gives the list one.
    std::filesystem::path folder;
};

class LoopTimersRestTest : public LoopTimersRestFixture {};

// An empty server rests: the loop has no timer to wake for. A player that comes at 7.5 s is pinged
// at 8 s, the second the timers would have run at had they never rested, and the chat cycle counts
// the seconds in between as if they had run.
TEST_F(LoopTimersRestTest, AnEmptyServerRestsAndWakesInItsOldPhase) {
    startTimers();
    pass();
    EXPECT_TRUE(timers->resting());
    EXPECT_EQ(loop->millisecondsToNextTask(), -1) << "nothing to wake for";
    elapseMilliseconds(7500);
    EXPECT_TRUE(timers->resting());

    receiveGame(peer(2), {1, 24, 'R', 'i', 'c', 'o', '|', 0});
    ASSERT_NE(players.find(0), nullptr);
    timers->restWhileQuiet(false);
    EXPECT_FALSE(timers->resting());
    EXPECT_EQ(loop->millisecondsToNextTask(), 500);
    EXPECT_EQ(server->chatCycle(), 7 % 4) << "the seven skipped passes are counted";

    network.clearSent();
    elapseMilliseconds(400);
    EXPECT_EQ(countSent(peer(2), bytesOf({4})), 0u);
    elapseMilliseconds(100);
    EXPECT_EQ(countSent(peer(2), bytesOf({4})), 1u) << "pinged at 8 s";
    EXPECT_EQ(server->chatCycle(), 8 % 4);

    // Silent from 7.5 s on: gone 16 to 17 passes later, as from a server that never rested.
    elapseMilliseconds(15'000);
    ASSERT_NE(players.find(0), nullptr) << "at 23 s";
    elapseMilliseconds(2'000);
    EXPECT_EQ(players.find(0), nullptr) << "at 25 s";
    // The leave went out in this send period; the next one finds nothing to do.
    elapseMilliseconds(1'000);
    EXPECT_TRUE(timers->resting());
}

// Each of these gives the once-a-second pass something to do, so the timers stay awake.
enum class NeedKind {
    player,
    administrator,
    joinToJudge,
    minuteOfFloodBans,
    wrongPasswordReport,
    timedBan,
    banChangeToSave,
    datagramSentThisPeriod,
    observersOfTheSeconds,
};

struct Need {
    const char* name;
    NeedKind kind;
};

void PrintTo(const Need& need, std::ostream* out) {
    *out << need.name;
}

class LoopTimersNeedTest : public LoopTimersRestFixture, public ::testing::WithParamInterface<Need> {
protected:
    // The ban list reads and writes an empty file of its own.
    void useBanFile() {
        folder = testing::makeTemporaryDirectory("varn-rest-");
        ASSERT_FALSE(folder.empty());
        const std::filesystem::path file = folder / "banned.txt";
        std::ofstream{file};
        ASSERT_TRUE(bans.load(file.string()));
    }

    void arrange(NeedKind kind) {
        switch (kind) {
        case NeedKind::player:
            players.add(peer(2), "Rico");
            break;
        case NeedKind::administrator:
            configure("AdminPassword secret\n");
            receiveAdmin(peer(9), {13, 25, 'b', 'o', 's', 's', '|', 's', 'e', 'c', 'r', 'e', 't', 0});
            ASSERT_NE(adminServer->administrators().find(0), nullptr);
            // Its answer alone would keep the timers awake for this period.
            adminEndpoint->resetSendPeriod();
            break;
        case NeedKind::joinToJudge:
            server->recentJoins()["127.0.0.9"].attempts = 1;
            break;
        case NeedKind::minuteOfFloodBans:
            ASSERT_TRUE(server->automaticBans().allowBan(0x7F000009, clock.monotonicSeconds()));
            break;
        case NeedKind::wrongPasswordReport:
            lockout.countUnlogged(peer(9), clock.monotonicSeconds());
            break;
        case NeedKind::timedBan: {
            useBanFile();
            BanDetails details;
            details.until = clock.calendarSeconds() + 3600;
            ASSERT_TRUE(bans.add("127.0.0.9", details));
            break;
        }
        case NeedKind::banChangeToSave:
            useBanFile();
            bans.addAutomatic("127.0.0.9", BanDetails{});
            break;
        case NeedKind::datagramSentThisPeriod: {
            const std::uint8_t datagram[] = {6};
            gameEndpoint->send(peer(9), datagram, sizeof datagram);
            break;
        }
        case NeedKind::observersOfTheSeconds:
            break;
        }
    }
};

TEST_P(LoopTimersNeedTest, KeepsTheTimersAwake) {
    const Need& need = GetParam();
    startTimers();
    pass();
    ASSERT_TRUE(timers->resting());
    arrange(need.kind);
    timers->restWhileQuiet(need.kind == NeedKind::observersOfTheSeconds);
    EXPECT_FALSE(timers->resting());
    EXPECT_EQ(loop->millisecondsToNextTask(), 1000);
}

const Need kNeeds[] = {
    {"a player", NeedKind::player},
    {"an administrator", NeedKind::administrator},
    {"a join to judge", NeedKind::joinToJudge},
    {"a minute of flood bans", NeedKind::minuteOfFloodBans},
    {"a wrong-password report", NeedKind::wrongPasswordReport},
    {"a timed ban", NeedKind::timedBan},
    {"a ban change to save", NeedKind::banChangeToSave},
    {"a datagram sent in this send period", NeedKind::datagramSentThisPeriod},
    {"observers of the seconds", NeedKind::observersOfTheSeconds},
};

INSTANTIATE_TEST_SUITE_P(Needs, LoopTimersNeedTest, ::testing::ValuesIn(kNeeds),
                         [](const ::testing::TestParamInfo<Need>& need) {
                             std::string name;
                             for (const char* letter = need.param.name; *letter != '\0'; ++letter) {
                                 if (std::isalnum(static_cast<unsigned char>(*letter))) name += *letter;
                             }
                             return name;
                         });

}  // namespace
}  // namespace varn
