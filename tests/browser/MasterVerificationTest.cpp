#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "browser/BrowserFixture.h"
#include "protocol/MasterVerification.h"

namespace varn::testing {
namespace {

// The master checks with the very key the server answers with: the server's answer to a challenge,
// taken off its query socket, passes the master's check, and every other datagram fails it.
class MasterVerificationTest : public BrowserFixture {};

TEST_F(MasterVerificationTest, TheServersAnswerPassesAndEveryOtherFails) {
    configure("ASEMasterServers 127.0.0.2\n");
    BrowserQuery& query = start();
    browser::VerificationKey masterKey;
    masterKey.shuffle();

    const PeerAddress masterPeer = peer(0x7F000002u, 27900);
    const std::array<std::array<std::uint8_t, 8>, 4> challenges = {{
        {0, 0, 0, 0, 0, 0, 0, 0},
        {1, 2, 3, 4, 5, 6, 7, 8},
        {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
        {0x9C, 0x01, 0x77, 0xE0, 0x42, 0x00, 0xA5, 0x3B},
    }};
    for (const auto& challenge : challenges) {
        Bytes datagram{'v'};
        datagram.insert(datagram.end(), challenge.begin(), challenge.end());
        receive(masterPeer, datagram);
    }
    query.poll();
    // The heartbeat goes to the same place; the answers are what starts with 'V'.
    std::vector<Bytes> answers;
    for (const Bytes& sent : sentTo(masterPeer)) {
        if (!sent.empty() && sent[0] == 'V') answers.push_back(sent);
    }
    ASSERT_EQ(answers.size(), challenges.size());
    for (std::size_t index = 0; index < challenges.size(); ++index) {
        const Bytes& answer = answers[index];
        EXPECT_TRUE(masterKey.isAnswer(challenges[index], answer)) << index;
        // The same answer to any other challenge fails.
        for (std::size_t other = 0; other < challenges.size(); ++other) {
            if (other != index) {
                EXPECT_FALSE(masterKey.isAnswer(challenges[other], answer));
            }
        }
        // Every single bit changed, a byte short or one more, and the answer of a key shuffled twice
        // (a table the server never had) all fail.
        for (std::size_t bit = 0; bit < answer.size() * 8; ++bit) {
            Bytes altered = answer;
            altered[bit / 8] = static_cast<std::uint8_t>(altered[bit / 8] ^ (1u << (bit % 8)));
            EXPECT_FALSE(masterKey.isAnswer(challenges[index], altered)) << "bit " << bit;
        }
        Bytes shorter(answer.begin(), answer.end() - 1);
        Bytes longer = answer;
        longer.push_back(0);
        EXPECT_FALSE(masterKey.isAnswer(challenges[index], shorter));
        EXPECT_FALSE(masterKey.isAnswer(challenges[index], longer));
        browser::VerificationKey otherKey;
        otherKey.shuffle();
        otherKey.shuffle();
        const std::uint32_t wrong = otherKey.answer(challenges[index]);
        const Bytes wrongAnswer{'V', static_cast<std::uint8_t>(wrong), static_cast<std::uint8_t>(wrong >> 8),
                                static_cast<std::uint8_t>(wrong >> 16), static_cast<std::uint8_t>(wrong >> 24)};
        EXPECT_FALSE(masterKey.isAnswer(challenges[index], wrongAnswer));
    }
}

}  // namespace
}  // namespace varn::testing
