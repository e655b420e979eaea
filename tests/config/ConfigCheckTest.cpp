#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config/ConfigCheck.h"
#include "config/ConfigFile.h"
#include "config/ConfigKeys.h"
#include "config/NameSuggestion.h"
#include "config/ServerSettings.h"
#include "platform/Files.h"
#include "support/LogCapture.h"

namespace varn {
namespace {

using Lines = std::vector<std::string>;

Lines warningsFor(const std::string& text) {
    ConfigFile config;
    config.loadText(text);
    return configurationWarnings(config);
}

TEST(ConfigCheckTest, UnknownKeysAreNamedWithTheirLineAndTheKeyProbablyMeant) {
    struct Case {
        const char* name;
        std::string text;
        Lines expected;
    };
    const Case cases[] = {
        {"one letter missing",
         "ServerName x\nAdminServr 1\n",
         {"warning: unknown key 'AdminServr' in the configuration line 2 (did you mean 'AdminServer'?)"}},
        {"two letters swapped",
         "# comment\n\nMaxPlayres 8\n",
         {"warning: unknown key 'MaxPlayres' in the configuration line 3 (did you mean 'MaxPlayers'?)"}},
        {"letter case only",
         "serverport 4000\n",
         {"warning: unknown key 'serverport' in the configuration line 1 (did you mean 'ServerPort'?)"}},
        {"two edits away",
         "AdminPasword secret\nGamMod 1\n",
         {"warning: unknown key 'AdminPasword' in the configuration line 1 (did you mean 'AdminPassword'?)",
          "warning: unknown key 'GamMod' in the configuration line 2 (did you mean 'GameMode'?)"}},
        {"three edits away", "AdmServr 1\n", {"warning: unknown key 'AdmServr' in the configuration line 1"}},
        {"nothing close",
         "Frobnicate 1\n",
         {"warning: unknown key 'Frobnicate' in the configuration line 1"}},
        {"one letter is too short to guess",
         "X 1\n",
         {"warning: unknown key 'X' in the configuration line 1"}},
        {"a tab is part of the key",
         "Testmode\t1\n",
         {"warning: unknown key 'Testmode?1' in the configuration line 1 (a tab does not end a key: did you "
          "mean 'Testmode' followed by a space?)"}},
        {"a key without values is still a key",
         "Gmae\n",
         {"warning: unknown key 'Gmae' in the configuration line 1 (did you mean 'Game'?)"}},
        {"every line of an unknown key",
         "Foo 1\nFoo 2\n",
         {"warning: unknown key 'Foo' in the configuration line 1",
          "warning: unknown key 'Foo' in the configuration line 2"}},
        {"control bytes are not sent to the terminal",
         "Ab\x1b[2J 1\n",
         {"warning: unknown key 'Ab?[2J' in the configuration line 1"}},
        {"keys of the additions are known",
         "LogTimestamps 1\nPasswordLockout 1\nQueryFloodGuard 0\nASEMasterServers a.example b.example\n"
         "JoinFloodBanMinutes 10\nChatFloodBanMinutes 0\n",
         {}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(warningsFor(testCase.text), testCase.expected);
    }
}

TEST(ConfigCheckTest, NumbersNameTheTextAndTheNumberTheServerWillUse) {
    struct Case {
        const char* name;
        std::string text;
        Lines expected;
    };
    const Case cases[] = {
        {"letter O for a zero",
         "ServerPort 40O0\n",
         {"warning: ServerPort '40O0' in the configuration line 1 is not a number; 40 will be used"}},
        {"no digits at all",
         "MaxPlayers many\n",
         {"warning: MaxPlayers 'many' in the configuration line 1 is not a number: the server will not start"}},
        {"sign without digits",
         "GameMode -\n",
         {"warning: GameMode '-' in the configuration line 1 is not a number: the server will not start"}},
        {"leading tab",
         "Game \t2\n",
         {"warning: Game '?2' in the configuration line 1 is not a number; 2 will be used"}},
        {"above the range",
         "MaxPlayers 27\n",
         {"warning: MaxPlayers '27' in the configuration line 1 is out of range (1 to 26): the server will not "
          "start"}},
        {"a game the server does not run",
         "Game 3\nGameMode 2\n",
         {"warning: Game '3' in the configuration line 1 is out of range (2 to 2): the server will not start"}},
        {"below the range of players",
         "MaxPlayers -4\n",
         {"warning: MaxPlayers '-4' in the configuration line 1 is out of range (1 to 26): the server will not "
          "start"}},
        {"below the range",
         "ServerPort 0\n",
         {"warning: ServerPort '0' in the configuration line 1 is out of range (1 to 65535): the server will not "
          "start"}},
        {"wraps round to a valid port",
         "ServerPort 4294971296\n",
         {"warning: ServerPort '4294971296' in the configuration line 1 is out of range (1 to 65535); 4000 "
          "will "
          "be used"}},
        {"on/off word",
         "ASE yes\n",
         {"warning: ASE 'yes' in the configuration line 1 is not a number; 0 will be used (off)"}},
        {"on/off number other than 0 and 1",
         "AdminServer 2\n",
         {"warning: AdminServer '2' in the configuration line 1 is out of range (0 to 1); 2 will be used "
          "(off)"}},
        {"on/off with text after the 1",
         "Testmode 1x\n",
         {"warning: Testmode '1x' in the configuration line 1 is not a number; 1 will be used (on)"}},
        {"unsigned -1",
         "ServerSendLimit -1\n",
         {"warning: ServerSendLimit '-1' in the configuration line 1 is out of range (0 to 4294967295); "
          "4294967295 will be used"}},
        {"default for 0 or less is not a mistake", "AdminPort 0\nChatFloodMaxCount -3\n", {}},
        {"default for a word",
         "AdminPort admin\n",
         {"warning: AdminPort 'admin' in the configuration line 1 is not a number; 4003 will be used"}},
        {"negative that wraps to a positive port",
         "AdminPort -4294967295\n",
         {"warning: AdminPort '-4294967295' in the configuration line 1 is out of range (1 to 65535, or 0 or "
          "less for 4003); 1 will be used"}},
        {"flood-ban minutes below 0",
         "JoinFloodBanMinutes -5\n",
         {"warning: JoinFloodBanMinutes '-5' in the configuration line 1 is out of range (0 to 2147483647); "
          "-5 "
          "will be used"}},
        {"values in range",
         "ServerPort 65535\nMaxPlayers +26\nGame 2\nGameMode 2\nServerSendLimit 4294967295\n"
         "AdminPort 4003\nTestmode 0\nChatFloodBanMinutes 0\n",
         {}},
        {"only the line that counts",
         "ServerPort abc\nServerPort 4000\nMaxPlayers 8\nMaxPlayers 0\n",
         {"warning: MaxPlayers '0' in the configuration line 4 is out of range (1 to 26): the server will not start"}},
        {"only the first value is read", "ServerPort 4000 x\n", {}},
        {"text keys take any text", "ServerName 123abc\nBannedFile 0\nGameIPAddress 1.2.3\n", {}},
        {"a key without a value is left to the validation", "ServerPort\n", {}},
        {"in the order of the lines",
         "MaxPlayers x\nAdminSrver 1\nGame y\n",
         {"warning: MaxPlayers 'x' in the configuration line 1 is not a number: the server will not start",
          "warning: unknown key 'AdminSrver' in the configuration line 2 (did you mean 'AdminServer'?)",
          "warning: Game 'y' in the configuration line 3 is not a number: the server will not start"}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(warningsFor(testCase.text), testCase.expected);
    }
}

TEST(ConfigCheckTest, WarningsNameTheFileAsItWasGiven) {
    const std::filesystem::path directory = std::filesystem::temp_directory_path();
    const std::string path = (directory / "varn-config-check-test.conf").string();
    std::ofstream(path, std::ios::binary) << "ServerName x\r\nServerPort 4000\r\nMaxPlayrs 8\r\n";
    ConfigFile config;
    ASSERT_TRUE(config.load(path));
    EXPECT_EQ(configurationWarnings(config),
              Lines{"warning: unknown key 'MaxPlayrs' in " + path + " line 3 (did you mean 'MaxPlayers'?)"});
    std::filesystem::remove(path);
}

TEST(ConfigCheckTest, AHugeKeyIsShownCutAndCheckedAtOnce) {
    const std::string key(1'000'000, 'K');
    const auto started = std::chrono::steady_clock::now();
    const Lines warnings = warningsFor(key + " 1\n" + key + "\n");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    const std::string expected =
        "warning: unknown key '" + std::string(80, 'K') + "...' in the configuration line ";
    EXPECT_EQ(warnings, (Lines{expected + "1", expected + "2"}));
}

// Each line is checked against the key's last line without looking through the file again.
TEST(ConfigCheckTest, ManyLinesOfKnownKeysAreCheckedAtOnce) {
    std::string text;
    for (int line = 1; line < 100'000; ++line)
        text += "ServerPort x\n";
    text += "ServerPort 4000x\n";
    for (int line = 0; line < 100'000; ++line)
        text += "MaxPlayers 8\n";
    const auto started = std::chrono::steady_clock::now();
    const Lines warnings = warningsFor(text);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(warnings, Lines{"warning: ServerPort '4000x' in the configuration line 100000 is not a number; "
                              "4000 will be used"});
}

// The key table, the README's table of keys and the shipped configurations agree.
std::set<std::string> keysOfTheReadme() {
    std::ifstream in(std::filesystem::path(VARN_SOURCE_DIR) / "README.md");
    std::set<std::string> keys;
    bool inConfiguration = false;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("## "))
            inConfiguration = line == "## Configuration";
        if (inConfiguration && line.starts_with("| `"))
            keys.insert(line.substr(3, line.find('`', 3) - 3));
    }
    return keys;
}

// A key the README documents but the table lacks would be called unknown; a key in the table the
// README lacks is one an operator cannot look up.
TEST(ConfigCheckTest, TheKnownKeysAreTheKeysTheReadmeLists) {
    std::set<std::string> known;
    for (const ConfigKey& key : knownConfigKeys()) {
        EXPECT_TRUE(known.insert(std::string(key.name)).second) << key.name << " twice";
        EXPECT_EQ(findConfigKey(key.name), &key);
    }
    const std::set<std::string> readme = keysOfTheReadme();
    EXPECT_GE(readme.size(), 30u);
    for (const std::string& key : readme)
        EXPECT_TRUE(known.contains(key)) << key << " is not in the key table";
    for (const std::string& key : known) {
        EXPECT_TRUE(readme.contains(key)) << key << " is not in the README";
    }
    EXPECT_EQ(findConfigKey("serverport"), nullptr) << "keys are case-sensitive";
}

TEST(ConfigCheckTest, TheShippedConfigurationsGiveNoWarning) {
    for (const char* file : {"varnserver.conf", "packaging/varnserver.conf"}) {
        SCOPED_TRACE(file);
        std::string text;
        ASSERT_TRUE(platform::readTextFile((std::filesystem::path(VARN_SOURCE_DIR) / file).string(), text));
        // The commented settings too, as an operator would switch them on.
        std::istringstream lines(text);
        std::string uncommented;
        for (std::string line; std::getline(lines, line);) {
            if (line.size() > 1 && line[0] == '#' && line[1] >= 'A' && line[1] <= 'Z')
                line.erase(0, 1);
            uncommented += line + "\n";
        }
        EXPECT_EQ(warningsFor(text), Lines{});
        EXPECT_EQ(warningsFor(uncommented), Lines{});
    }
}

// Forged join floods could otherwise ban other people's addresses for ever.
TEST(ConfigCheckTest, TheShippedConfigurationsGiveFloodBansATimeLimit) {
    for (const char* file : {"varnserver.conf", "packaging/varnserver.conf"}) {
        SCOPED_TRACE(file);
        ConfigFile config;
        ASSERT_TRUE(config.load((std::filesystem::path(VARN_SOURCE_DIR) / file).string()));
        const ServerSettings settings = readServerSettings(config);
        EXPECT_GT(settings.joinFloodBanMinutes, 0);
        EXPECT_GT(settings.chatFloodBanMinutes, 0);
        EXPECT_GT(settings.autoBanMaxPerMinute, 0);
    }
}

TEST(ConfigCheckTest, SummaryCountsErrorsAndSaysWhetherTheServerWouldStart) {
    struct Case {
        std::uint32_t errors;
        bool wouldStart;
        const char* expected;
    };
    const Case cases[] = {
        {0, true, "Configuration OK."},
        {1, false, "Configuration has 1 error; the server would not start."},
        {3, false, "Configuration has 3 errors; the server would not start."},
        {2, true, "Configuration has 2 errors; the server would start anyway."},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(configurationCheckSummary(testCase.errors, testCase.wouldStart), testCase.expected);
    }
}

TEST(ConfigCheckTest, UnmatchedQuotationsAreCountedAsErrorsPerLine) {
    testing::LogCapture log;
    ConfigFile config;
    config.loadText("ServerName \"a\nServerPort 4000\nBannedFile \"b\" \"c\n");
    EXPECT_EQ(config.lineErrorCount(), 2u);
    EXPECT_EQ(log.lines().size(), 2u);
    config.clear();
    EXPECT_EQ(config.lineErrorCount(), 0u);
    EXPECT_TRUE(config.keyLines().empty());
    EXPECT_EQ(config.loadedPath(), nullptr);
}

TEST(NameSuggestionTest, DistanceCountsEditsAndSwapsButNotLetterCase) {
    struct Case {
        const char* first;
        const char* second;
        std::size_t expected;
    };
    const Case cases[] = {
        {"ServerPort", "ServerPort", 0},
        {"serverPORT", "ServerPort", 0},
        {"ServerPrt", "ServerPort", 1},
        {"ServerPorts", "ServerPort", 1},
        {"SrevrePort", "ServerPort", 2},
        {"ServerProt", "ServerPort", 1},
        {"", "ASE", 3},
        {"kitten", "sitting", 3},
        {"X", "ASE", 3},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(std::string(testCase.first) + " / " + testCase.second);
        EXPECT_EQ(nameDistance(testCase.first, testCase.second), testCase.expected);
        EXPECT_EQ(nameDistance(testCase.second, testCase.first), testCase.expected);
    }
}

TEST(NameSuggestionTest, ClosestNamesAreTheNearestWithinTheLimitForTheNamesLength) {
    const std::string_view known[] = {"-c", "-l", "--conf", "--log", "Game", "GameMode"};
    struct Case {
        const char* typed;
        std::vector<std::string_view> expected;
        const char* offered;
    };
    const Case cases[] = {
        {"-x", {"-c", "-l"}, "'-c' or '-l'"},
        {"--cnof", {"--conf"}, "'--conf'"},
        {"Gam", {"Game"}, "'Game'"},
        {"GameMod", {"GameMode"}, "'GameMode'"},
        {"GameMo", {"Game", "GameMode"}, "'Game' or 'GameMode'"},
        {"x", {}, ""},
        {"--frobnicate", {}, ""},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.typed);
        const std::vector<std::string_view> closest = closestNames(testCase.typed, known);
        EXPECT_EQ(closest, testCase.expected);
        EXPECT_EQ(quotedAlternatives(closest), testCase.offered);
    }
    const std::string_view three[] = {"a", "b", "c"};
    EXPECT_EQ(quotedAlternatives(three), "'a', 'b' or 'c'");
}

}  // namespace
}  // namespace varn
