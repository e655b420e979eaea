#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "browser/BrowserFixture.h"
#include "browser/VerificationModel.h"

namespace varn::testing {
namespace {

constexpr std::uint32_t kLocalHost = 0x7F000001u;

class MasterRegistrationTest : public BrowserFixture {
protected:
    std::size_t heartbeatsTo(std::uint32_t hostAddress) const { return sentTo(master(hostAddress)).size(); }
};

std::uint32_t networkOrder(std::uint32_t hostAddress) {
    return PeerAddress::fromHostOrder(hostAddress, 0).address;
}

TEST_F(MasterRegistrationTest, BuiltInNamesAreNeverLookedUpAndTheHeartbeatStaysOnTheLocalHost) {
    BrowserQuery& query = start();
    EXPECT_TRUE(lookups.empty()) << "names under .invalid never reach the resolver";
    EXPECT_TRUE(query.masters().fallbackInUse());
    EXPECT_FALSE(query.masters().hasSecondMaster());

    // The first poll sends at once, although no time has passed.
    query.poll();
    ASSERT_EQ(network.sent.size(), 1u);
    EXPECT_EQ(network.sent[0].peer, master(kLocalHost));
    EXPECT_EQ(network.sent[0].bytes, bytesOfText("\\hb\\4123\\varn"));
}

TEST_F(MasterRegistrationTest, MasterServersKeyReplacesTheBuiltInNames) {
    struct Case {
        const char* lines;
        std::uint32_t first;  // host order
        bool fallback;
        std::optional<std::uint32_t> second;
        std::vector<std::string> lookups;
    };
    hosts = {{"one.test", networkOrder(0x7F000007u)}, {"two.test", networkOrder(0x7F000008u)}};
    const Case cases[] = {
        {"ASEMasterServers 127.0.0.5 127.0.0.6\n", 0x7F000005u, false, 0x7F000006u, {}},
        {"ASEMasterServers 127.0.0.5\n", 0x7F000005u, false, std::nullopt, {}},
        {"ASEMasterServers one.test two.test three.test\n",
         0x7F000007u,
         false,
         0x7F000008u,
         {"one.test", "two.test"}},
        {"ASEMasterServers gone.test two.test\n",
         kLocalHost,
         true,
         0x7F000008u,
         {"gone.test", "gone.test", "two.test"}},
        {"ASEMasterServers one.test gone.test\n",
         0x7F000007u,
         false,
         std::nullopt,
         {"one.test", "gone.test"}},
        {"ASEMasterServers 127.0.0.5 0.0.0.0\n", 0x7F000005u, false, std::nullopt, {}},
        // Not a master address, whatever the resolver makes of it.
        {"ASEMasterServers 255.255.255.255\n",
         kLocalHost,
         true,
         std::nullopt,
         {"255.255.255.255", "255.255.255.255"}},
        {"ASEMasterServers Master.Example.INVALID x.invalid.\n", kLocalHost, true, std::nullopt, {}},
        {"ASEMasterServers\n", kLocalHost, true, std::nullopt, {}},
        {"ASEMasterServers \"\"\n", kLocalHost, true, std::nullopt, {}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.lines);
        config.clear();
        SetUp();
        configure(testCase.lines);
        lookups.clear();
        const MasterRegistration& masters = start().masters();
        EXPECT_EQ(masters.firstMaster(), master(testCase.first));
        EXPECT_EQ(masters.fallbackInUse(), testCase.fallback);
        EXPECT_EQ(masters.hasSecondMaster(), testCase.second.has_value());
        if (testCase.second) {
            EXPECT_EQ(masters.secondMaster(), master(*testCase.second));
        }
        EXPECT_EQ(lookups, testCase.lookups);
    }
}

TEST_F(MasterRegistrationTest, HeartbeatGoesToTheSecondMasterThenTheFirstAndNamesTheBoundPort) {
    configure("ASEMasterServers 127.0.0.5 127.0.0.6\n");
    busyPorts = {4123};
    start().poll();
    const Bytes heartbeat = bytesOfText("\\hb\\4124\\varn");
    ASSERT_EQ(network.sent.size(), 2u);
    EXPECT_EQ(network.sent[0].peer, master(0x7F000006u));
    EXPECT_EQ(network.sent[0].bytes, heartbeat);
    EXPECT_EQ(network.sent[1].peer, master(0x7F000005u));
    EXPECT_EQ(network.sent[1].bytes, heartbeat);
}

TEST_F(MasterRegistrationTest, HeartbeatIntervalsGrowAcrossTheTickWrap) {
    struct Case {
        const char* name;
        const char* lines;
        std::vector<std::uint32_t> gapsInSeconds;
    };
    const Case cases[] = {
        {"masters resolved", "ASEMasterServers 127.0.0.5\n", {15, 30, 60, 120, 240, 480, 960, 1920, 1920}},
        {"fallback in use", "", {15, 30, 86400, 120, 240, 480, 960, 1920, 1920}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        config.clear();
        SetUp();
        configure(testCase.lines);
        network.clearSent();
        // The first heartbeat's due time wraps to exactly 0, and the tick count wraps right after it.
        clock.setMilliseconds(0xFFFFFFFFu - 14'999u);
        BrowserQuery& query = start();
        const std::uint32_t masterAddress = query.masters().firstMaster().hostAddress();
        query.poll();
        std::size_t expected = 1;
        ASSERT_EQ(heartbeatsTo(masterAddress), expected);
        for (const std::uint32_t gap : testCase.gapsInSeconds) {
            SCOPED_TRACE(gap);
            EXPECT_EQ(query.millisecondsToNextHeartbeat(), static_cast<int>(gap * 1000));
            clock.advanceMilliseconds(gap * 1000 - 1);
            query.poll();
            EXPECT_EQ(heartbeatsTo(masterAddress), expected) << "one millisecond early";
            EXPECT_EQ(query.millisecondsToNextHeartbeat(), 1);
            clock.advanceMilliseconds(1);
            EXPECT_EQ(query.millisecondsToNextHeartbeat(), 0);
            query.poll();
            EXPECT_EQ(heartbeatsTo(masterAddress), ++expected);
        }
        // A heartbeat that fell due between polls goes at the next poll; the gap counts from then.
        clock.advanceMilliseconds(1'920'000 + 5'000);
        query.poll();
        EXPECT_EQ(heartbeatsTo(masterAddress), ++expected);
        EXPECT_EQ(query.millisecondsToNextHeartbeat(), 1'920'000);
    }
}

TEST_F(MasterRegistrationTest, ChallengeFromTheFirstMastersNetworkGetsTheKeyedAnswer) {
    configure("ASEMasterServers 127.0.0.1 127.0.1.7\n");
    BrowserQuery& query = start();
    VerificationModel model;
    model.build();

    const PeerAddress fromMasterNetwork = peer(0x7F0000C8u, 27900);
    const std::array<std::array<std::uint8_t, 8>, 3> challenges = {{
        {0, 0, 0, 0, 0, 0, 0, 0},
        {1, 2, 3, 4, 5, 6, 7, 8},
        {0xFF, 0x80, 0x7F, 0x10, 0xC3, 0x3C, 0x99, 0x01},
    }};
    auto challengeDatagram = [](const std::array<std::uint8_t, 8>& challenge) {
        Bytes datagram(1 + challenge.size(), 'v');
        std::copy(challenge.begin(), challenge.end(), datagram.begin() + 1);
        return datagram;
    };
    auto answerDatagram = [](std::uint32_t response) {
        return Bytes{'V', static_cast<std::uint8_t>(response), static_cast<std::uint8_t>(response >> 8),
                     static_cast<std::uint8_t>(response >> 16), static_cast<std::uint8_t>(response >> 24)};
    };

    std::vector<Bytes> expected;
    for (const auto& challenge : challenges) {
        receive(fromMasterNetwork, challengeDatagram(challenge));
        expected.push_back(answerDatagram(model.answer(challenge)));
    }
    // Wrong lengths, and the right length from outside the /24 network, get nothing.
    Bytes eightBytes = challengeDatagram(challenges[1]);
    eightBytes.pop_back();
    Bytes tenBytes = challengeDatagram(challenges[1]);
    tenBytes.push_back(0);
    receive(fromMasterNetwork, eightBytes);
    receive(fromMasterNetwork, tenBytes);
    receive(peer(0x7F000101u, 27901), challengeDatagram(challenges[1]));
    receive(peer(0x7F000107u, 27901), challengeDatagram(challenges[1]));  // the second master's address
    query.poll();
    EXPECT_EQ(sentTo(fromMasterNetwork), expected);
    EXPECT_TRUE(sentTo(peer(0x7F000101u, 27901)).empty());
    EXPECT_TRUE(sentTo(peer(0x7F000107u, 27901)).empty());

    // A new initialisation shuffles a new table: the generator goes on where it stopped.
    ASSERT_TRUE(query.initialise(kGamePort, true));
    model.build();
    receive(fromMasterNetwork, challengeDatagram(challenges[1]));
    query.poll();
    const auto answers = sentTo(fromMasterNetwork);
    ASSERT_EQ(answers.size(), 4u);
    EXPECT_EQ(answers[3], answerDatagram(model.answer(challenges[1])));
    EXPECT_NE(answers[3], answers[1]);
}

}  // namespace
}  // namespace varn::testing
