#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config/CommandLine.h"
#include "config/ConfigFile.h"
#include "log/ServerLog.h"
#include "support/FileText.h"

namespace varn {
namespace {

namespace fs = std::filesystem;

using Arguments = std::vector<std::string>;
using Values = std::vector<std::string>;

// Fills the process-wide command line as the program would receive these arguments.
int parseArguments(const Arguments& arguments) {
    std::vector<const char*> argv = {"VarnServer"};
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    return CommandLine::instance().parse(static_cast<int>(argv.size()), argv.data());
}

std::string describe(const Arguments& arguments) {
    std::string text;
    for (const std::string& argument : arguments)
        text += "[" + argument + "] ";
    return text;
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::string> filesIn(const fs::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

// Runs each test in a fresh temporary directory as the current directory, with the console captured,
// and puts the process-wide log, command line, configuration and directory back afterwards.
class CommandLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CommandLine::destroyInstance();
        ConfigFile::instance().clear();
        ServerLog::instance().setConsole(&console_);
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        directory_ = fs::temp_directory_path() / ("varn-cmdline-" + std::string(test->name()) + "-" +
                                                  std::to_string(std::random_device{}()));
        fs::create_directories(directory_);
        previousDirectory_ = fs::current_path();
        fs::current_path(directory_);
    }

    void TearDown() override {
        ServerLog::instance().close();
        ServerLog::instance().setConsole(&std::cout);
        CommandLine::destroyInstance();
        ConfigFile::instance().clear();
        fs::current_path(previousDirectory_);
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }

    std::string takeConsoleText() {
        std::string text = console_.str();
        console_.str("");
        return text;
    }

    fs::path directory_;

  private:
    std::ostringstream console_;
    fs::path previousDirectory_;
};

TEST_F(CommandLineTest, TellsOptionNamesFromValues) {
    struct Case {
        const char* argument;
        bool isOption;
    };
    const Case cases[] = {
        {"-c", true},  {"--conf", true},     {"-x", true},  {"--", true},  {"-c=5", true},
        {"-=x", true}, {"--5", true},        {"-", false},  {"-5", false}, {"-0x", false},
        {"", false},   {"file.conf", false}, {"c-", false}, {"5", false},  {"=-c", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CommandLine::isOption(c.argument), c.isOption) << "argument '" << c.argument << "'";
    }
}

TEST_F(CommandLineTest, StoresEachOptionWithTheValuesOfItsLastOccurrence) {
    struct Case {
        Arguments arguments;
        std::vector<std::pair<std::string, Values>> options;
    };
    const Case cases[] = {
        {{}, {}},
        {{"stray.conf"}, {}},
        {{"stray.conf", "-c", "a.conf"}, {{"-c", {"a.conf"}}}},
        {{"--conf=my.conf"}, {{"--conf", {"my.conf"}}}},
        {{"--conf="}, {{"--conf", {""}}}},
        {{"--conf=a=b", "c"}, {{"--conf", {"a=b", "c"}}}},
        {{"-c", "-5"}, {{"-c", {"-5"}}}},
        {{"-c", "a", "-", ""}, {{"-c", {"a", "-", ""}}}},
        {{"-c", "a.conf", "-c", "b.conf"}, {{"-c", {"b.conf"}}}},
        {{"-c", "a.conf", "-c"}, {{"-c", {}}}},
        {{"-c", "a", "b", "-q", "x"}, {{"-c", {"a", "b"}}, {"-q", {"x"}}}},
        {{"-c", "-l", "log.txt"}, {{"-c", {}}, {"-l", {"log.txt"}}}},
        {{"-C", "x", "--Conf", "y"}, {{"-C", {"x"}}, {"--Conf", {"y"}}}},
        {{"-c", "a", "--conf", "b", "-x"}, {{"-c", {"a"}}, {"--conf", {"b"}}, {"-x", {}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(describe(c.arguments));
        CommandLine::destroyInstance();
        EXPECT_EQ(parseArguments(c.arguments), static_cast<int>(c.options.size()));
        const CommandLine& commandLine = CommandLine::instance();
        for (const auto& [name, values] : c.options) {
            ASSERT_TRUE(commandLine.has(name)) << name;
            ASSERT_EQ(commandLine.valueCount(name), static_cast<std::int32_t>(values.size())) << name;
            for (std::size_t i = 0; i < values.size(); ++i) {
                const std::string* value = commandLine.getValue(name, static_cast<std::uint32_t>(i));
                ASSERT_NE(value, nullptr) << name << " index " << i;
                EXPECT_EQ(*value, values[i]) << name << " index " << i;
            }
            EXPECT_EQ(commandLine.getValue(name, static_cast<std::uint32_t>(values.size())), nullptr);
        }
        if (c.options.empty() || c.options.front().first != "-c") {
            EXPECT_FALSE(commandLine.has("-c"));
            EXPECT_EQ(commandLine.valueCount("-c"), -1);
            EXPECT_EQ(commandLine.getValue("-c"), nullptr);
        }
    }
}

TEST_F(CommandLineTest, DestroyingTheInstanceForgetsTheOptions) {
    parseArguments({"-q"});
    ASSERT_TRUE(CommandLine::instance().has("-q"));
    CommandLine::destroyInstance();
    EXPECT_FALSE(CommandLine::instance().has("-q"));
}

TEST_F(CommandLineTest, LoadsTheConfigurationTheOptionsName) {
    writeFile("varnserver.conf", "ServerName Default\n");
    writeFile("a.conf", "ServerName A\n");
    writeFile("b.conf", "ServerName B\n");
    writeFile("-5", "ServerName Minus5\n");
    fs::create_directory("folder.conf");

    struct Case {
        Arguments arguments;
        bool loaded;
        const char* serverName;  // nullptr: nothing was loaded
        std::string message;
    };
    const Case cases[] = {
        {{}, true, "Default", ""},
        {{"a.conf"}, true, "Default", ""},
        {{"-h", "-q"}, true, "Default", ""},
        {{"-c", "a.conf"}, true, "A", ""},
        {{"--conf=a.conf"}, true, "A", ""},
        {{"--conf", "a.conf"}, true, "A", ""},
        {{"-c", (directory_ / "a.conf").string()}, true, "A", ""},
        {{"-c", "a.conf", "-c", "b.conf"}, true, "B", ""},
        {{"-c", "a.conf", "--conf", "b.conf"}, true, "A", ""},
        {{"--conf=b.conf", "-c", "a.conf"}, true, "A", ""},
        {{"-c", "-5"}, true, "Minus5", ""},
        {{"-c"}, false, nullptr, "ERROR: Invalid number of arguments for '-c'.\n"},
        {{"-c", "a.conf", "b.conf"}, false, nullptr, "ERROR: Invalid number of arguments for '-c'.\n"},
        {{"-c", "--conf", "a.conf"}, false, nullptr, "ERROR: Invalid number of arguments for '-c'.\n"},
        {{"--conf"}, false, nullptr, "ERROR: Invalid number of arguments for '--conf'.\n"},
        {{"--conf=a.conf", "b.conf"}, false, nullptr, "ERROR: Invalid number of arguments for '--conf'.\n"},
        {{"--conf="}, false, nullptr, ""},
        {{"-c", "missing.conf"}, false, nullptr, ""},
        {{"-c", "folder.conf"}, false, nullptr, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(describe(c.arguments));
        CommandLine::destroyInstance();
        ConfigFile::instance().clear();
        parseArguments(c.arguments);
        EXPECT_EQ(loadConfigurationFromOptions(), c.loaded);
        const std::string* serverName = ConfigFile::instance().getString("ServerName");
        if (c.serverName == nullptr) {
            EXPECT_EQ(serverName, nullptr);
        } else {
            ASSERT_NE(serverName, nullptr);
            EXPECT_EQ(*serverName, c.serverName);
        }
        EXPECT_EQ(takeConsoleText(), c.message);
    }
}

TEST_F(CommandLineTest, WithoutOptionsAMissingDefaultFileIsNotLoaded) {
    parseArguments({});
    EXPECT_FALSE(loadConfigurationFromOptions());
    EXPECT_EQ(takeConsoleText(), "");
}

TEST_F(CommandLineTest, OpensTheLogFileTheOptionsOrTheConfigurationName) {
    struct Case {
        const char* name;
        Arguments arguments;
        const char* configuration;
        bool result;
        const char* logFile;  // the one file created, nullptr for none
        std::string message;
    };
    const std::string kLogFileValuesMessage =
        "ERROR: Invalid number of values for 'LogFile' in the configuration file.\n";
    const Case cases[] = {
        {"nothing wanted", {}, "", true, nullptr, ""},
        {"-l", {"-l", "x.log"}, "", true, "x.log", ""},
        {"--log=", {"--log=x.log"}, "", true, "x.log", ""},
        {"--log", {"--log", "x.log"}, "", true, "x.log", ""},
        {"-l before --log", {"--log", "y.log", "-l", "x.log"}, "", true, "x.log", ""},
        {"-l over LogFile", {"-l", "x.log"}, "LogFile c.log", true, "x.log", ""},
        {"--log over bad LogFile", {"--log=x.log"}, "LogFile a.log b.log", true, "x.log", ""},
        {"LogFile", {}, "LogFile c.log", true, "c.log", ""},
        {"quoted LogFile", {}, "LogFile \"my log.txt\"", true, "my log.txt", ""},
        {"LogFile with two values", {}, "LogFile a.log b.log", false, nullptr, kLogFileValuesMessage},
        {"LogFile without values", {}, "LogFile", false, nullptr, kLogFileValuesMessage},
        {"logfile is another key", {}, "logfile c.log", true, nullptr, ""},
        {"-l without value",
         {"-l"},
         "LogFile c.log",
         false,
         nullptr,
         "ERROR: Invalid number of arguments for '-l'.\n"},
        {"-l with two values",
         {"-l", "a.log", "b.log"},
         "",
         false,
         nullptr,
         "ERROR: Invalid number of arguments for '-l'.\n"},
        {"--log without value",
         {"--log"},
         "",
         false,
         nullptr,
         "ERROR: Invalid number of arguments for '--log'.\n"},
        {"-l into a missing directory", {"-l", "missing/x.log"}, "", false, nullptr, ""},
        {"--log= empty", {"--log="}, "", false, nullptr, ""},
    };
    int caseNumber = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path caseDirectory = directory_ / ("case" + std::to_string(caseNumber++));
        fs::create_directory(caseDirectory);
        fs::current_path(caseDirectory);
        CommandLine::destroyInstance();
        ConfigFile::instance().clear();
        parseArguments(c.arguments);
        ConfigFile::instance().loadText(c.configuration);

        EXPECT_EQ(openLogFromOptions(), c.result);
        EXPECT_EQ(ServerLog::instance().isOpen(), c.logFile != nullptr);
        EXPECT_EQ(takeConsoleText(), c.message);
        ServerLog::instance().close();
        if (c.logFile == nullptr) {
            EXPECT_TRUE(filesIn(caseDirectory).empty());
        } else {
            EXPECT_EQ(filesIn(caseDirectory), std::set<std::string>{c.logFile});
            EXPECT_EQ(readFile(caseDirectory / c.logFile),
                      testing::asFileText("- VarnServer log opened -\n- VarnServer log closed -\n"));
        }
    }
}

TEST_F(CommandLineTest, TakesTheAdminPasswordFromTheFirstLineOfAFile) {
    writeFile("unix.pw", "two words\nsecond line\n");
    writeFile("windows.pw", "secret\r\n");
    writeFile("no-line-end.pw", " spaced ");
    writeFile("longest.pw", std::string(kMaxAdminPasswordLength, 'x') + "\n");

    struct Case {
        Arguments arguments;
        std::string password;  // AdminPassword afterwards; the configuration holds "from-config"
    };
    const Case cases[] = {
        {{}, "from-config"},
        {{"--admin-password-file", "unix.pw"}, "two words"},
        {{"--admin-password-file=windows.pw"}, "secret"},
        {{"--admin-password-file", "no-line-end.pw"}, " spaced "},
        {{"--admin-password-file", "longest.pw"}, std::string(kMaxAdminPasswordLength, 'x')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(describe(c.arguments));
        CommandLine::destroyInstance();
        ConfigFile::instance().clear();
        ConfigFile::instance().loadText("AdminPassword from-config\n");
        parseArguments(c.arguments);
        EXPECT_TRUE(applyAdminPasswordFile());
        ASSERT_NE(ConfigFile::instance().getString("AdminPassword"), nullptr);
        EXPECT_EQ(*ConfigFile::instance().getString("AdminPassword"), c.password);
        EXPECT_EQ(takeConsoleText(), "");
    }
}

TEST_F(CommandLineTest, AnAdminPasswordFileThatCannotBeUsedIsAnErrorWithItsReason) {
    writeFile("empty.pw", "");
    writeFile("blank-first-line.pw", "\r\nsecret\n");
    writeFile("too-long.pw", std::string(kMaxAdminPasswordLength + 1, 'x') + "\n");
    writeFile("with-a-zero-byte.pw", std::string("sec\0ret\n", 8));
    fs::create_directory("folder.pw");

    struct Case {
        Arguments arguments;
        std::string message;  // empty: the operating system's reason is not compared
    };
    const std::string kPrefix = "ERROR: Unable to read the admin password file '";
    const Case cases[] = {
        {{"--admin-password-file"}, "ERROR: Invalid number of arguments for '--admin-password-file'.\n"},
        {{"--admin-password-file", "a.pw", "b.pw"},
         "ERROR: Invalid number of arguments for '--admin-password-file'.\n"},
        {{"--admin-password-file", "missing.pw"}, ""},
        {{"--admin-password-file", "folder.pw"}, kPrefix + "folder.pw': not a regular file.\n"},
        {{"--admin-password-file", "empty.pw"}, kPrefix + "empty.pw': its first line is empty.\n"},
        {{"--admin-password-file", "blank-first-line.pw"},
         kPrefix + "blank-first-line.pw': its first line is empty.\n"},
        {{"--admin-password-file", "with-a-zero-byte.pw"}, kPrefix + "with-a-zero-byte.pw': its first line holds a NUL byte.\n"},
        {{"--admin-password-file", "too-long.pw"},
         kPrefix + "too-long.pw': its first line is longer than " + std::to_string(kMaxAdminPasswordLength) +
             " bytes.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(describe(c.arguments));
        CommandLine::destroyInstance();
        ConfigFile::instance().clear();
        ConfigFile::instance().loadText("AdminPassword from-config\n");
        parseArguments(c.arguments);
        EXPECT_FALSE(applyAdminPasswordFile());
        const std::string text = takeConsoleText();
        if (c.message.empty()) {
            // The reason comes from the operating system, in its own words.
            EXPECT_EQ(text.rfind(kPrefix + "missing.pw': ", 0), 0u) << text;
            EXPECT_GT(text.size(), (kPrefix + "missing.pw': .\n").size()) << text;
#if !defined(_WIN32)
            EXPECT_EQ(text, kPrefix + "missing.pw': No such file or directory.\n");
#endif
        } else {
            EXPECT_EQ(text, c.message);
        }
    }
}

TEST_F(CommandLineTest, OptionErrorsAlsoReachAnOpenLogFile) {
    ASSERT_TRUE(ServerLog::instance().open("earlier.log"));
    parseArguments({"-c", "a.conf", "b.conf"});
    EXPECT_FALSE(loadConfigurationFromOptions());
    ServerLog::instance().close();
    EXPECT_EQ(readFile("earlier.log"), testing::asFileText("- VarnServer log opened -\n"
                                                           "ERROR: Invalid number of arguments for '-c'.\n"
                                                           "- VarnServer log closed -\n"));
    EXPECT_EQ(takeConsoleText(), "ERROR: Invalid number of arguments for '-c'.\n");
}

TEST_F(CommandLineTest, WritesTheVersionBanner) {
    writeVersionBanner();
    EXPECT_EQ(takeConsoleText(), "Varn Server for Varn:PB 0.3 (Server: 0.3.1)\n\n");
}

TEST_F(CommandLineTest, WritesTheUsageText) {
    writeUsageText();
    EXPECT_EQ(takeConsoleText(),
              "Usage: VarnServer [OPTION]...\n"
              "\n"
              "  -c, --conf=PATH       specify the path to the configuration file\n"
              "  -l, --log=PATH        specify the path to the file you wish to log to\n"
              "  -h, --help            display this help and exit\n"
              "  -q, --quiet           enter quiet mode (absolutely no output to STDOUT)\n"
              "\n"
              "By default, the configuration file (varnserver.conf) will be read from the\n"
              "the current directory.\n"
              "\n"
              "Report bugs to " +
                  std::string(kProjectAddress) + "\n");
}

}  // namespace
}  // namespace varn
