#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ServerList.h"
#include "protocol/MasterVerification.h"

namespace varn::master {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kServer = 0x0A000005u;  // 10.0.0.5
constexpr std::uint32_t kLocal = 0x0200007Fu;   // 127.0.0.2, network order

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }
Bytes heartbeatFor(std::uint16_t port) { return bytesOf("\\hb\\" + std::to_string(port) + "\\varn"); }

// A status reply as a server writes it, with one player.
Bytes statusReply(const std::string& name, int players) {
    Bytes reply = bytesOf("EYE1");
    auto counted = [&reply](const std::string& text) {
        reply.push_back(static_cast<std::uint8_t>(text.size() + 1));
        reply.insert(reply.end(), text.begin(), text.end());
    };
    for (const std::string& field : {std::string("varn"), std::string("4000"), name, std::string("VARN"),
                                     std::string("Palm Bay"), std::string("0.3"), std::string("0"),
                                     std::to_string(players), std::string("16"), std::string(" "), std::string(" ")}) {
        counted(field);
    }
    reply.push_back(0x01);
    for (int player = 0; player < players; ++player) {
        reply.push_back(0x3F);
        for (const std::string& field : {"p" + std::to_string(player), std::string(), std::string(), std::string("3"),
                                         std::string("45"), std::string()}) {
            counted(field);
        }
    }
    return reply;
}

class ServerListTest : public ::testing::Test {
protected:
    ServerListTest() { serverKey_.shuffle(); }

    ServerList& make() {
        list_ = std::make_unique<ServerList>(settings, [this](std::span<std::uint8_t> bytes) {
            for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(++randomCounter_ * 37);
        });
        return *list_;
    }

    std::vector<Outgoing> takeOutbox() {
        std::vector<Outgoing> sent = list_->outbox();
        list_->outbox().clear();
        return sent;
    }

    // The answer a real server gives to a challenge datagram.
    Bytes answerTo(const Outgoing& challenge) const {
        std::array<std::uint8_t, 8> bytes{};
        std::copy(challenge.bytes.begin() + 1, challenge.bytes.begin() + 9, bytes.begin());
        const std::uint32_t answer = serverKey_.answer(bytes);
        return {'V', static_cast<std::uint8_t>(answer), static_cast<std::uint8_t>(answer >> 8),
                static_cast<std::uint8_t>(answer >> 16), static_cast<std::uint8_t>(answer >> 24)};
    }

    // Heartbeat, challenge and the server's answer: verified, with its first poll queued.
    void verify(std::uint32_t address, std::uint16_t port) {
        list_->heartbeat(address, kLocal, heartbeatFor(port), now, seconds);
        const std::vector<Outgoing> challenge = takeOutbox();
        ASSERT_EQ(challenge.size(), 1u);
        list_->challengeAnswer({address, port}, answerTo(challenge[0]), now, seconds);
        const std::vector<Outgoing> poll = takeOutbox();
        ASSERT_EQ(poll.size(), 1u);
        ASSERT_EQ(poll[0].length, 1);
        ASSERT_EQ(poll[0].bytes[0], 's');
    }

    std::uint64_t drops(Drop drop) const { return list_->counters().drops[static_cast<std::size_t>(drop)]; }

    MasterSettings settings;
    std::int64_t now = 1'000'000;
    std::int64_t seconds = 1'700'000'000;
    browser::VerificationKey serverKey_;
    std::unique_ptr<ServerList> list_;
    int randomCounter_ = 0;
};

TEST_F(ServerListTest, OnlyTheServersOwnAnswerInTimeVerifies) {
    struct Case {
        const char* what;
        int answer;  // 0: the right one, 1: one bit off, 2: a byte short, 3: late, 4: from another port
        bool verified;
        Drop counted;
    };
    const Case cases[] = {
        {"the server's answer", 0, true, Drop::count},
        {"one bit off", 1, false, Drop::wrongAnswer},
        {"a byte short", 2, false, Drop::wrongAnswer},
        {"after the challenge's time", 3, false, Drop::wrongAnswer},
        {"from another port", 4, false, Drop::unexpected},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        ServerList& list = make();
        list.heartbeat(kServer, kLocal, heartbeatFor(5123), now, seconds);
        // A second heartbeat while the challenge is out sends nothing more.
        list.heartbeat(kServer, kLocal, heartbeatFor(5123), now + 10, seconds);
        const std::vector<Outgoing> challenges = takeOutbox();
        ASSERT_EQ(challenges.size(), 1u);
        EXPECT_EQ(challenges[0].to.address, kServer);
        EXPECT_EQ(challenges[0].to.port, 5123);
        EXPECT_EQ(challenges[0].source, kLocal);
        EXPECT_EQ(challenges[0].length, 9);
        EXPECT_EQ(challenges[0].bytes[0], 'v');
        EXPECT_EQ(drops(Drop::challengeOutstanding), 1u);
        Bytes answer = answerTo(challenges[0]);
        std::int64_t when = now + 100;
        ServerKey from{kServer, 5123};
        if (testCase.answer == 1) answer[3] ^= 0x10;
        if (testCase.answer == 2) answer.pop_back();
        if (testCase.answer == 3) when = now + settings.challengeSeconds * 1000LL + 1;
        if (testCase.answer == 4) from.port = 5124;
        list.challengeAnswer(from, answer, when, seconds);
        EXPECT_EQ(list.listed().size(), testCase.verified ? 1u : 0u);
        if (testCase.counted != Drop::count) {
            EXPECT_EQ(drops(testCase.counted), 1u);
        }
        // Verified is not yet listed: only a status reply lists it.
        EXPECT_EQ(list.answeredCount(), 0u);
    }
}

TEST_F(ServerListTest, ForgedHeartbeatsNeverEvictTheListAndStayWithinTheirLimits) {
    settings.maxPending = 8;
    settings.maxPortsPerAddress = 3;
    settings.heartbeatsPerAddressPerMinute = 5;
    settings.sendDatagramsPerSecond = 40;  // 20 a second for challenges
    ServerList& list = make();
    verify(kServer, 5123);
    list.statusPiece({kServer, 5123}, statusReply("Real", 0), now, seconds);
    ASSERT_EQ(list.answeredCount(), 1u);

    // One address: its ports are capped, then its rate.
    for (std::uint16_t port = 1; port <= 10; ++port) list.heartbeat(0x0B000001u, kLocal, heartbeatFor(port), now, seconds);
    EXPECT_EQ(takeOutbox().size(), 3u);
    EXPECT_EQ(drops(Drop::portsPerAddress), 2u);
    EXPECT_EQ(drops(Drop::rate), 5u);
    // Many addresses: the pending table fills, the verified server stays.
    for (std::uint32_t host = 0; host < 100; ++host) {
        list.heartbeat(0x0C000000u + host, kLocal, heartbeatFor(7000), now, seconds);
    }
    EXPECT_EQ(list.pendingCount(), 8u);
    EXPECT_EQ(drops(Drop::pendingFull), 95u);
    EXPECT_EQ(takeOutbox().size(), 5u);
    ASSERT_EQ(list.answeredCount(), 1u);
    // The minute's summary line says what was dropped and why, once.
    const std::string summary = list.takeDropSummary();
    EXPECT_EQ(summary.rfind("MASTER-WARNING: 102 dropped in the last minute (", 0), 0u) << summary;
    for (const char* reason : {"rate 5", "ports_per_address 2", "pending_full 95"}) {
        EXPECT_NE(summary.find(reason), std::string::npos) << reason;
    }
    EXPECT_EQ(list.takeDropSummary(), "");
    // The challenges' half of the budget: at most 20 challenges in a second, whatever comes; the
    // pending ones time out and make room again.
    const std::int64_t second = now + 10'000;
    list.tick(second);
    takeOutbox();
    EXPECT_EQ(list.pendingCount(), 0u);
    settings.maxPending = 1'000;
    ServerList roomy(settings, [](std::span<std::uint8_t> bytes) { std::fill(bytes.begin(), bytes.end(), 7); });
    for (std::uint32_t host = 0; host < 100; ++host) {
        roomy.heartbeat(0x0D000000u + host, kLocal, heartbeatFor(7000), second + host, seconds);
    }
    EXPECT_EQ(roomy.outbox().size(), 20u);
    EXPECT_EQ(roomy.counters().drops[static_cast<std::size_t>(Drop::budget)], 80u);
    EXPECT_EQ(roomy.challengeBudget().bytesTaken(), 20u * 9u);
    // A poll still goes out: the polls' half is untouched.
    list.tick(second + settings.pollSeconds * 1000LL);
    takeOutbox();
    list.tick(second + 2 * settings.pollSeconds * 1000LL);
    const std::vector<Outgoing> polls = takeOutbox();
    ASSERT_EQ(polls.size(), 1u);
    EXPECT_EQ(polls[0].to.address, kServer);
}

TEST_F(ServerListTest, MissedPollsAndSilenceDropAServerAndAHeartbeatBringsItBack) {
    settings.pollSeconds = 10;
    ServerList& list = make();
    verify(kServer, 5123);
    // The reply in two pieces, the second missing: a failed poll, as silence is.
    Bytes first = statusReply(std::string(1400, 'n'), 2);
    first.resize(1360);
    first.insert(first.end(), {1, 2, 3, 4});
    list.statusPiece({kServer, 5123}, first, now, seconds);
    EXPECT_EQ(list.answeredCount(), 0u);
    std::int64_t when = now;
    for (int missed = 1; missed <= ServerList::kMostMissedPolls; ++missed) {
        // Each poll goes unanswered: at the next poll's time it counts as missed, and the next goes.
        when += settings.pollSeconds * 1000LL;
        list.tick(when);
        EXPECT_EQ(list.listed().size(), missed < ServerList::kMostMissedPolls ? 1u : 0u) << missed;
        takeOutbox();
    }
    EXPECT_EQ(drops(Drop::missedPolls), 1u);
    EXPECT_EQ(list.counters().pollsFailed, 3u);

    // Back after a new challenge; answers; then heartbeats stop for good.
    now = when + 1'000;
    verify(kServer, 5123);
    list.statusPiece({kServer, 5123}, statusReply("Back", 2), now, seconds);
    ASSERT_EQ(list.answeredCount(), 1u);
    const auto& entry = list.listed().begin()->second;
    EXPECT_EQ(entry.status.serverName, "Back");
    ASSERT_EQ(entry.status.playerList.size(), 2u);
    EXPECT_EQ(entry.status.playerList[1].ping, 45);
    const std::uint64_t generation = list.generation();
    // Answering every poll, but silent on heartbeats beyond the longest gap: dropped.
    for (std::int64_t step = 1; step * 600 <= ServerList::kHeartbeatAgeSeconds + 600; ++step) {
        const std::int64_t at = now + step * 600'000;
        list.tick(at);
        takeOutbox();
        if (!list.listed().empty()) list.statusPiece({kServer, 5123}, statusReply("Back", 2), at, seconds + step * 600);
    }
    EXPECT_TRUE(list.listed().empty());
    EXPECT_EQ(drops(Drop::heartbeatAge), 1u);

    // A step of the calendar clock alone (an operator or a time service setting it) drops nothing.
    now += 10 * 600'000;
    verify(kServer, 5123);
    list.statusPiece({kServer, 5123}, statusReply("Stepped", 0), now, seconds);
    list.tick(now + 1'000);
    seconds += 10 * ServerList::kHeartbeatAgeSeconds;
    list.statusPiece({kServer, 5123}, statusReply("Stepped", 0), now + 2'000, seconds);
    list.tick(now + 3'000);
    EXPECT_EQ(list.answeredCount(), 1u);
    EXPECT_GT(list.generation(), generation);
}

}  // namespace
}  // namespace varn::master
