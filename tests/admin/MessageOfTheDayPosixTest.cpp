#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "support/GameServerFixture.h"
#include "support/ReleasedFifo.h"
#include "support/TemporaryDirectory.h"

namespace varn {
namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

// The server runs in a scratch directory whose motd.txt is a FIFO nobody writes to.
class MessageOfTheDayPosixTest : public testing::GameServerFixture {
protected:
    void SetUp() override {
        GameServerFixture::SetUp();
        directory_ = testing::makeTemporaryDirectory("varn-motd-");
        ASSERT_FALSE(directory_.empty());
        previous_ = fs::current_path();
        fs::current_path(directory_);
        configure("AdminPassword secret\n");
    }
    void TearDown() override {
        GameServerFixture::TearDown();
        fs::current_path(previous_);
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }

    fs::path directory_;
    fs::path previous_;
};

// A FIFO named motd.txt once held the whole server in the reload; now it is a missing file.
TEST_F(MessageOfTheDayPosixTest, ReloadWithAFifoAnswersAtOnceAsForAMissingFile) {
    testing::ReleasedFifo fifo((directory_ / "motd.txt").string());
    ASSERT_TRUE(fifo.made());
    start();
    const PeerAddress boss = peer(2);
    const std::string join = std::string("\x0D\x19") + "boss|secret";
    receiveAdmin(boss, Bytes(join.begin(), join.end()));
    ASSERT_GE(adminServer->administrators().findByAddress(boss), 0);
    network.clearSent();
    log.clear();

    EXPECT_LT(testing::millisecondsTaken([&] { receiveAdmin(boss, {26}); }), 1000);
    EXPECT_EQ(adminSentTo(boss), (std::vector<Bytes>{Bytes{26, 0}}));
    EXPECT_EQ(log.lines(), Lines{"ERROR: 'motd.txt' could not be opened for reading."});
    EXPECT_FALSE(server->hasMessageOfTheDay());
}

}  // namespace
}  // namespace varn
