#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "app/LoopTimers.h"
#include "app/MainLoop.h"
#include "config/ConfigFile.h"
#include "platform/Files.h"
#include "support/GameServerFixture.h"

namespace varn {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The example configuration that ships beside the server.
std::string exampleConfiguration() {
    const std::filesystem::path path = std::filesystem::path(VARN_SOURCE_DIR) / "varnserver.conf";
    std::string text;
    EXPECT_TRUE(platform::readTextFile(path.string(), text)) << path;
    return text;
}

// The example with its send limit switched on as an operator would: ServerSendLimitEnabled 1, and
// the send-limit values that its comments offer taken in.
std::string exampleWithSendLimitOn() {
    std::istringstream lines(exampleConfiguration());
    std::string text;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("#ServerSendLimit"))
            line.erase(0, 1);
        text += line + "\n";
    }
    return text + "ServerSendLimitEnabled 1\n";
}

class ExampleConfigurationTest : public testing::GameServerFixture {};

TEST_F(ExampleConfigurationTest, LoadsAndPassesValidation) {
    ConfigFile example;
    example.loadText(exampleConfiguration());
    EXPECT_TRUE(validateConfiguration(example)) << log.text();
    EXPECT_EQ(example.getInt("ServerSendLimitEnabled"), 0) << "the send limit is off unless switched on";
}

// One player floods sync reports at ten thousand a second; with the example's send limit switched
// on, what goes beyond the limit is dropped, and the server goes on (it used to stop within the
// first second).
TEST_F(ExampleConfigurationTest, OnePlayersSyncFloodCannotStopTheServer) {
    config.clear();
    configure(exampleWithSendLimitOn());
    start();
    ASSERT_TRUE(gameEndpoint->sendLimitActive);
    const std::uint32_t limit = gameEndpoint->sendLimit;
    MainLoop loop(clock);
    LoopTimers timers(loop, clock, *server, *gameEndpoint, *adminEndpoint, 2);
    const std::int32_t maxPlayers = settings.maxPlayers;
    for (std::int32_t id = 0; id < maxPlayers; ++id)
        players.add(peer(static_cast<std::uint32_t>(2 + id)), std::to_string(id));
    // A player standing next to everybody else: the full report goes to every other player.
    const Bytes sync = {10, 0, 0x0A, 0x0B, 0x0C, 0x0D, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0x7F};

    for (int second = 0; second < 5; ++second) {
        SCOPED_TRACE(second);
        network.clearSent();
        for (int report = 0; report < 10'000; ++report)
            receiveGame(peer(2), sync);
        std::size_t bytesSent = 0;
        for (const auto& datagram : network.sent)
            bytesSent += datagram.bytes.size();
        EXPECT_LE(bytesSent, limit + sync.size() + 1) << "the limit drops what goes beyond it";
        EXPECT_GT(gameEndpoint->periodSentAndDropped, 2 * limit) << "the flood is far beyond the limit";
        ASSERT_TRUE(gameEndpoint->isOpen) << "one player's flood stopped the server";
        clock.advanceSeconds(1);
        loop.runDueTimers(clock.monotonicMilliseconds());
    }
    EXPECT_EQ(log.text().find("SERVER-ERROR"), std::string::npos) << log.text();
}

}  // namespace
}  // namespace varn
