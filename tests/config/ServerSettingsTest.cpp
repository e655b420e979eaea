#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "config/ConfigFile.h"
#include "config/ServerSettings.h"

namespace varn {
namespace {

ServerSettings settingsOf(const std::string& text) {
    ConfigFile config;
    config.loadText(text);
    return readServerSettings(config);
}

TEST(ServerSettingsTest, SwitchesAreOnOnlyWhenTheyReadAsOne) {
    struct Case {
        const char* value;
        bool on;
    };
    const Case cases[] = {{"1", true}, {" +1", true}, {"01", true}, {"2", false}, {"-1", false},
                          {"on", false}, {"0", false}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.value);
        const std::string value = testCase.value;
        const ServerSettings settings = settingsOf(
            "Testmode \"" + value + "\"\nStatLogging \"" + value + "\"\nDoNotOutputChatToLog \"" + value +
            "\"\nBanOnChatFlood \"" + value + "\"\nServerSendLimitEnabled \"" + value +
            "\"\nAdminAllowShutdown \"" + value + "\"\nPasswordLockout \"" + value + "\"\n");
        EXPECT_EQ(settings.testMode, testCase.on);
        EXPECT_EQ(settings.statLogging, testCase.on);
        EXPECT_EQ(settings.logChat, !testCase.on);
        EXPECT_EQ(settings.banOnChatFlood, testCase.on);
        EXPECT_EQ(settings.sendLimit.enabled, testCase.on);
        EXPECT_EQ(settings.adminAllowShutdown, testCase.on);
        EXPECT_EQ(settings.passwordLockout, testCase.on);
    }
}

TEST(ServerSettingsTest, MissingKeysReadAsTheConfigurationReadsThem) {
    const ServerSettings settings = settingsOf("");
    EXPECT_EQ(settings.game, -1);
    EXPECT_EQ(settings.maxPlayers, -1);
    EXPECT_FALSE(settings.maxPlayersGiven);
    EXPECT_EQ(settings.serverName, std::nullopt);
    EXPECT_EQ(settings.serverPassword, std::nullopt);
    EXPECT_EQ(settings.adminPassword, std::nullopt);
    EXPECT_EQ(settings.adminPort, -1);
    EXPECT_TRUE(settings.logChat);
    EXPECT_EQ(settings.sendLimit.bytesPerPeriod, -1) << "read as the largest count by the endpoint";
    EXPECT_EQ(settings.sendLimit.maxAllowed, -1);
    EXPECT_TRUE(settings.masterServers.empty());

    // A key without a value has no text either.
    EXPECT_EQ(settingsOf("ServerPassword\n").serverPassword, std::nullopt);
}

TEST(ServerSettingsTest, TextsAreKeptAsWritten) {
    const ServerSettings settings = settingsOf(
        "ServerName \"My  Server\"\nServerPort 04000\nMaxPlayers 12\nServerPassword \"two words\"\n"
        "ASEMasterServers one.example two.example three.example\n");
    EXPECT_EQ(settings.serverName, "My  Server");
    EXPECT_EQ(settings.serverPortText, "04000") << "the start-up line shows the port as written";
    EXPECT_EQ(settings.serverPort, 4000);
    EXPECT_EQ(settings.maxPlayers, 12);
    EXPECT_TRUE(settings.maxPlayersGiven);
    EXPECT_EQ(settings.serverPassword, "two words");
    EXPECT_EQ(settings.masterServers, (std::vector<std::string>{"one.example", "two.example"}));
}

TEST(ServerSettingsTest, ChatFloodLimitFallsBackToTwoUnlessAboveZero) {
    struct Case {
        const char* lines;
        std::int32_t limit;
    };
    const Case cases[] = {{"", 2}, {"ChatFloodMaxCount 0\n", 2}, {"ChatFloodMaxCount -3\n", 2},
                          {"ChatFloodMaxCount 1\n", 1}, {"ChatFloodMaxCount 7\n", 7}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.lines);
        EXPECT_EQ(settingsOf(testCase.lines).chatFloodMaxCount, testCase.limit);
    }
}

// A bound of joins a second is there unless a positive number replaces it; the metrics endpoint
// takes localhost as 127.0.0.1, and is left out for an address that is not dotted IPv4.
TEST(ServerSettingsTest, JoinBoundAndMetricsAddressReadAsTheServerUsesThem) {
    struct Case {
        const char* lines;
        std::int32_t joinMaxPerSecond;
        std::optional<std::int32_t> metricsPort;
        const char* metricsAddress;
    };
    const Case cases[] = {
        {"", 100, std::nullopt, "127.0.0.1"},
        {"JoinMaxPerSecond 0\nMetricsPort 9100\n", 100, 9100, "127.0.0.1"},
        {"JoinMaxPerSecond 7\nMetricsPort 9100\nMetricsAddress localhost\n", 7, 9100, "127.0.0.1"},
        {"MetricsPort 9100\nMetricsAddress 10.1.2.3\n", 100, 9100, "10.1.2.3"},
        {"MetricsPort 9100\nMetricsAddress 0\n", 100, std::nullopt, "0"},
        {"MetricsPort 9100\nMetricsAddress 0x0\n", 100, std::nullopt, "0x0"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.lines);
        const ServerSettings settings = settingsOf(testCase.lines);
        EXPECT_EQ(settings.joinMaxPerSecond, testCase.joinMaxPerSecond);
        EXPECT_EQ(settings.metricsPort, testCase.metricsPort);
        EXPECT_EQ(settings.metricsAddress, testCase.metricsAddress);
    }
}

TEST(ServerSettingsTest, StartUpLooksAtLogKeysBeforeTheSettings) {
    ConfigFile config;
    EXPECT_FALSE(logTimestampsWanted(config));
    EXPECT_FALSE(logFileValueCountInvalid(config)) << "no LogFile: nothing to complain about";
    config.loadText("LogTimestamps 1\nLogFile a.log\n");
    EXPECT_TRUE(logTimestampsWanted(config));
    EXPECT_FALSE(logFileValueCountInvalid(config));
    config.loadText("LogFile a.log b.log\n");
    EXPECT_TRUE(logFileValueCountInvalid(config));
    config.loadText("LogFile\n");
    EXPECT_TRUE(logFileValueCountInvalid(config));
}

}  // namespace
}  // namespace varn
