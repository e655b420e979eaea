#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "config/ConfigFile.h"
#include "log/ServerLog.h"

namespace varn {
namespace {

namespace fs = std::filesystem;

using Values = std::vector<std::string>;

const std::string kServerNameMessage =
    "ERROR: A ServerName MUST be specified in the configuration file AND be > 0 in length.\n";
const std::string kOfficialNameMessage = "ERROR: Only authorized Servers may use 'Varn Official Server'.\n";
const std::string kServerPortMessage =
    "ERROR: A ServerPort MUST be specified in the configuration file AND be > 0.\n";
const std::string kMaxPlayersMessage =
    "ERROR: MaxPlayers MUST be specified in the configuration file, be > 0 AND be <= 26.\n";
const std::string kGameMessage =
    "ERROR: A Game MUST be specified in the configuration file AND be 2 (Skyr:PB).\n";
const std::string kGameModeMessage =
    "ERROR: A GameMode MUST be specified in the configuration file AND be 1 (Regular) or 2 (Stunt).\n";
const std::string kBannedFileMessage =
    "ERROR: A BannedFile MUST be specified in the configuration file AND be > 0 in length.\n";

std::string unmatchedQuotationMessage(int line) {
    return "ERROR: Unmatched quotation in configuration file. (Line #" + std::to_string(line) + ")\n";
}

// Captures what the log shows on the console and leaves the process-wide state as it found it.
class ConfigFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ServerLog::instance().setConsole(&console_);
        ConfigFile::instance().clear();
    }

    void TearDown() override {
        ServerLog::instance().setConsole(&std::cout);
        ConfigFile::instance().clear();
        if (!directory_.empty()) {
            std::error_code ignored;
            fs::remove_all(directory_, ignored);
        }
    }

    const fs::path& directory() {
        if (directory_.empty()) {
            const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
            directory_ = fs::temp_directory_path() / ("varn-config-" + std::string(test->name()) + "-" +
                                                      std::to_string(std::random_device{}()));
            fs::create_directories(directory_);
        }
        return directory_;
    }

    std::string writeFile(const std::string& name, const std::string& bytes) {
        const fs::path path = directory() / name;
        std::ofstream out(path, std::ios::binary);
        out << bytes;
        return path.string();
    }

    std::string consoleText() const { return console_.str(); }

  private:
    std::ostringstream console_;
    fs::path directory_;
};

void expectValues(const ConfigFile& config, const std::string& key, const Values& expected) {
    ASSERT_EQ(config.valueCount(key), static_cast<std::int32_t>(expected.size())) << "key " << key;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::string* value = config.getString(key, static_cast<std::uint32_t>(i));
        ASSERT_NE(value, nullptr) << "key " << key << " index " << i;
        EXPECT_EQ(*value, expected[i]) << "key " << key << " index " << i;
    }
    EXPECT_EQ(config.getString(key, static_cast<std::uint32_t>(expected.size())), nullptr);
}

TEST_F(ConfigFileTest, SplitsALineIntoKeyAndValues) {
    struct Case {
        const char* line;
        const char* key;
        Values values;
        bool unmatchedQuote;
    };
    const Case cases[] = {
        {"ServerPort 4000", "ServerPort", {"4000"}, false},
        {"ServerPort    4000", "ServerPort", {"4000"}, false},
        {"   ServerPort 4000   ", "ServerPort", {"4000"}, false},
        {"ServerName My Server", "ServerName", {"My", "Server"}, false},
        {"ServerName \"My Server\"", "ServerName", {"My Server"}, false},
        {"ServerName \"My first server\" 2", "ServerName", {"My first server", "2"}, false},
        {"ServerName \"a b\"\"c d\"", "ServerName", {"a b", "c d"}, false},
        {"ServerName \"a b\"c", "ServerName", {"a b", "c"}, false},
        // Text before an opening quote is dropped.
        {"ServerName a\"b\"", "ServerName", {"b"}, false},
        {"ServerName \"\" x \"\"", "ServerName", {"x"}, false},
        {"ServerPort 4000 # note", "ServerPort", {"4000", "#", "note"}, false},
        {"ServerName a\tb c", "ServerName", {"a\tb", "c"}, false},
        {"Flag", "Flag", {}, false},
        {"Flag ", "Flag", {}, false},
        {"Key\ta b", "Key\ta", {"b"}, false},
        {"ServerName \"My Server", "ServerName", {}, true},
        {"ServerName a b \"c d", "ServerName", {"a", "b"}, true},
        {"ServerName x\"y", "ServerName", {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        ConfigFile config;
        std::ostringstream console;
        ServerLog::instance().setConsole(&console);
        config.loadText(c.line);
        ServerLog::instance().setConsole(&std::cout);
        expectValues(config, c.key, c.values);
        EXPECT_EQ(console.str(), c.unmatchedQuote ? unmatchedQuotationMessage(1) : "");
    }
}

TEST_F(ConfigFileTest, KeysAreCaseSensitiveAndATabDoesNotSeparate) {
    ConfigFile config;
    config.loadText("serverport 4000\nMaxPlayers\t10\n");
    EXPECT_FALSE(config.has("ServerPort"));
    EXPECT_EQ(config.getInt("ServerPort"), -1);
    expectValues(config, "serverport", {"4000"});
    EXPECT_FALSE(config.has("MaxPlayers"));
    expectValues(config, "MaxPlayers\t10", {});
}

TEST_F(ConfigFileTest, CountsEveryLineAndKeepsTheLastLineOfARepeatedKey) {
    ConfigFile& config = ConfigFile::instance();
    config.loadText(
        "# a comment\n"
        "\n"
        "   \n"
        "   # an indented comment\n"
        "ServerPort 1\n"
        "ServerPort 2 3\n"
        "ServerName \"My Server\n"
        "Game 2");
    EXPECT_EQ(consoleText(), unmatchedQuotationMessage(7));
    EXPECT_EQ(config.lineNumber, 8u);
    expectValues(config, "ServerPort", {"2", "3"});
    expectValues(config, "Game", {"2"});
    EXPECT_FALSE(config.has("#"));
    // The key whose only value was cut off is present but reads as missing.
    EXPECT_TRUE(config.has("ServerName"));
    expectValues(config, "ServerName", {});
    EXPECT_EQ(config.getInt("ServerName"), -1);
}

TEST_F(ConfigFileTest, LoadsAFileWithWindowsLineEnds) {
    const std::string path =
        writeFile("crlf.conf", "ServerName \"My Server\"\r\nServerPort 4000\r\nKey a\rb\r\n\r\nLast x\r\n");
    ConfigFile& config = ConfigFile::instance();
    ASSERT_TRUE(config.load(path));
    expectValues(config, "ServerName", {"My Server"});
    expectValues(config, "ServerPort", {"4000"});
    // Only a carriage return right before a line feed belongs to the line end.
    expectValues(config, "Key", {"a\rb"});
    expectValues(config, "Last", {"x"});
    EXPECT_EQ(config.lineNumber, 5u);
    EXPECT_EQ(consoleText(), "");
}

TEST_F(ConfigFileTest, RefusesAMissingFileOrADirectoryWithoutAMessage) {
    ConfigFile& config = ConfigFile::instance();
    config.setValues("ServerPort", {"4000"});
    EXPECT_FALSE(config.load((directory() / "missing.conf").string()));
    EXPECT_FALSE(config.load(directory().string()));
    EXPECT_FALSE(config.load(""));
    EXPECT_EQ(consoleText(), "");
    expectValues(config, "ServerPort", {"4000"});
}

TEST_F(ConfigFileTest, AnEmptyFileLoadsAndThenFailsValidation) {
    ASSERT_TRUE(ConfigFile::instance().load(writeFile("empty.conf", "")));
    EXPECT_EQ(consoleText(), "");
    EXPECT_FALSE(validateConfiguration());
    EXPECT_EQ(consoleText(), kServerNameMessage);
}

TEST_F(ConfigFileTest, ReadsIntegersLikeTheServerAlwaysHas) {
    struct Case {
        const char* text;
        std::int32_t expected;
    };
    const Case cases[] = {
        {"4000", 4000},
        {"4000abc", 4000},
        {"abc", 0},
        {"", 0},
        {"-5", -5},
        {"+7", 7},
        {" \t\n12", 12},
        {"- 5", 0},
        {"--5", 0},
        {"12 34", 12},
        {"0x10", 0},
        {"007", 7},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"2147483648", INT_MIN},
        {"4294967295", -1},
        {"4294967296", 0},
        {"4294967297", 1},
        {"-4294967297", -1},
        {"99999999999999999999", 1661992959},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(configTextToInt(c.text), c.expected) << "text '" << c.text << "'";
    }
}

TEST_F(ConfigFileTest, ReadsValuesByKeyAndIndex) {
    ConfigFile config;
    config.loadText("ServerPort 4000abc 12\nName abc\n");
    EXPECT_EQ(config.getInt("ServerPort"), 4000);
    EXPECT_EQ(config.getInt("ServerPort", 1), 12);
    EXPECT_EQ(config.getInt("ServerPort", 2), -1);
    EXPECT_EQ(config.getInt("Name"), 0);
    EXPECT_EQ(config.getInt("Missing"), -1);
    EXPECT_EQ(config.getString("Missing"), nullptr);
    EXPECT_EQ(config.valueCount("Missing"), -1);
    EXPECT_FALSE(config.has("Missing"));
    EXPECT_FALSE(config.isOn("Flag"));
    config.setValues("Flag", {"1"});
    EXPECT_TRUE(config.isOn("Flag"));
    config.setValues("Flag", {"01x"});
    EXPECT_TRUE(config.isOn("Flag"));
    config.setValues("Flag", {"2"});
    EXPECT_FALSE(config.isOn("Flag"));
}

TEST_F(ConfigFileTest, SetValueReplacesOnlyAnExistingValue) {
    ConfigFile config;
    config.loadText("ServerPassword old other\nEmpty\n");
    EXPECT_FALSE(config.setValue("Missing", "x"));
    EXPECT_FALSE(config.has("Missing"));
    EXPECT_FALSE(config.setValue("Empty", "x"));
    EXPECT_FALSE(config.setValue("ServerPassword", "x", 2));
    EXPECT_TRUE(config.setValue("ServerPassword", "new secret", 1));
    expectValues(config, "ServerPassword", {"old", "new secret"});
    EXPECT_TRUE(config.setValue("ServerPassword", "first"));
    expectValues(config, "ServerPassword", {"first", "new secret"});
    expectValues(config, "Empty", {});

    config.setValues("ServerPassword", {"only"});
    expectValues(config, "ServerPassword", {"only"});
    config.clear();
    EXPECT_FALSE(config.has("ServerPassword"));
}

// A configuration the server starts with; each case changes or removes some keys.
using Settings = std::map<std::string, std::optional<Values>>;

ConfigFile makeConfig(const Settings& changes) {
    std::map<std::string, Values> keys = {
        {"ServerName", {"My Server"}}, {"ServerPort", {"4000"}},
        {"MaxPlayers", {"10"}},        {"Game", {"2"}},
        {"GameMode", {"1"}},           {"BannedFile", {"banned.lst"}},
    };
    for (const auto& [key, values] : changes) {
        if (values) {
            keys[key] = *values;
        } else {
            keys.erase(key);
        }
    }
    ConfigFile config;
    for (auto& [key, values] : keys)
        config.setValues(key, values);
    return config;
}

TEST_F(ConfigFileTest, ValidationWritesTheFirstBrokenRule) {
    struct Case {
        const char* name;
        Settings changes;
        std::string message;  // empty: the configuration is accepted
    };
    const std::nullopt_t removed = std::nullopt;
    const Case cases[] = {
        {"complete", {}, ""},
        {"no ServerName", {{"ServerName", removed}}, kServerNameMessage},
        {"ServerName without values", {{"ServerName", Values{}}}, kServerNameMessage},
        {"empty ServerName", {{"ServerName", Values{""}}}, kServerNameMessage},
        {"official name", {{"ServerName", Values{"Varn Official Server"}}}, kOfficialNameMessage},
        {"official prefix", {{"ServerName", Values{"Varn Officials"}}}, kOfficialNameMessage},
        {"official name not allowed",
         {{"ServerName", Values{"Varn Official Server"}}, {"ServerNameOAllowed", Values{"2"}}},
         kOfficialNameMessage},
        {"official name allowed",
         {{"ServerName", Values{"Varn Official Server"}}, {"ServerNameOAllowed", Values{"1"}}},
         ""},
        {"official name in lower case", {{"ServerName", Values{"varn official server"}}}, ""},
        {"official words not at the start", {{"ServerName", Values{"My Varn Official Server"}}}, ""},
        {"no ServerPort", {{"ServerPort", removed}}, kServerPortMessage},
        {"ServerPort 0", {{"ServerPort", Values{"0"}}}, kServerPortMessage},
        {"ServerPort negative", {{"ServerPort", Values{"-4000"}}}, kServerPortMessage},
        {"ServerPort text", {{"ServerPort", Values{"port"}}}, kServerPortMessage},
        {"ServerPort 1", {{"ServerPort", Values{"1"}}}, ""},
        {"ServerPort above 65535", {{"ServerPort", Values{"70000"}}}, ""},
        {"no MaxPlayers", {{"MaxPlayers", removed}}, kMaxPlayersMessage},
        {"MaxPlayers 0", {{"MaxPlayers", Values{"0"}}}, kMaxPlayersMessage},
        {"MaxPlayers 27", {{"MaxPlayers", Values{"27"}}}, kMaxPlayersMessage},
        {"MaxPlayers x", {{"MaxPlayers", Values{"x"}}}, kMaxPlayersMessage},
        {"MaxPlayers 1", {{"MaxPlayers", Values{"1"}}}, ""},
        {"MaxPlayers 26", {{"MaxPlayers", Values{"26"}}}, ""},
        {"no Game", {{"Game", removed}}, kGameMessage},
        {"Game 1", {{"Game", Values{"1"}}}, kGameMessage},
        {"Game 3", {{"Game", Values{"3"}}}, kGameMessage},
        {"no GameMode", {{"GameMode", removed}}, kGameModeMessage},
        {"GameMode 0", {{"GameMode", Values{"0"}}}, kGameModeMessage},
        {"GameMode 3", {{"GameMode", Values{"3"}}}, kGameModeMessage},
        {"GameMode 2", {{"GameMode", Values{"2"}}}, ""},
        {"no BannedFile", {{"BannedFile", removed}}, kBannedFileMessage},
        {"BannedFile without values", {{"BannedFile", Values{}}}, kBannedFileMessage},
        {"empty BannedFile", {{"BannedFile", Values{""}}}, kBannedFileMessage},
        {"everything missing",
         {{"ServerName", removed},
          {"ServerPort", removed},
          {"MaxPlayers", removed},
          {"Game", removed},
          {"GameMode", removed},
          {"BannedFile", removed}},
         kServerNameMessage},
        {"port and later rules broken",
         {{"ServerPort", Values{"0"}}, {"MaxPlayers", Values{"30"}}, {"BannedFile", removed}},
         kServerPortMessage},
        {"game and mode broken", {{"Game", Values{"1"}}, {"GameMode", Values{"9"}}}, kGameMessage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ConfigFile config = makeConfig(c.changes);
        std::ostringstream console;
        ServerLog::instance().setConsole(&console);
        const bool accepted = validateConfiguration(config);
        ServerLog::instance().setConsole(&std::cout);
        EXPECT_EQ(accepted, c.message.empty());
        EXPECT_EQ(console.str(), c.message);
    }
}

TEST_F(ConfigFileTest, ValidatesTheProcessWideConfigurationAsLoadedFromText) {
    ConfigFile& config = ConfigFile::instance();
    config.loadText(
        "# game server\n"
        "ServerName \"My first server\"\n"
        "ServerPort    4000\n"
        "MaxPlayers 26\n"
        "Game 2\n"
        "GameMode 2\n"
        "BannedFile banned.lst\n");
    EXPECT_TRUE(validateConfiguration());
    EXPECT_EQ(consoleText(), "");

    config.loadText("ServerName My Server\n");
    EXPECT_TRUE(validateConfiguration());
    EXPECT_EQ(*config.getString("ServerName"), "My");

    config.loadText("serverport 5000\nServerPort\n");
    EXPECT_FALSE(validateConfiguration());
    EXPECT_EQ(consoleText(), kServerPortMessage);
}

TEST_F(ConfigFileTest, AnUnmatchedQuoteInServerNameFailsValidation) {
    ConfigFile& config = ConfigFile::instance();
    config.loadText(
        "ServerPort 4000\nMaxPlayers 8\nGame 2\nGameMode 1\nBannedFile banned.lst\n\nServerName \"My "
        "Server\n");
    EXPECT_FALSE(validateConfiguration());
    EXPECT_EQ(consoleText(), unmatchedQuotationMessage(7) + kServerNameMessage);
}

}  // namespace
}  // namespace varn
