#include "config/CommandLine.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include "config/ConfigFile.h"
#include "log/ServerLog.h"
#include "protocol/ServerVersion.h"

namespace varn {

namespace {

std::unique_ptr<CommandLine>& processCommandLine() {
    static std::unique_ptr<CommandLine> commandLine;
    return commandLine;
}

bool isDecimalDigit(char c) {
    return c >= '0' && c <= '9';
}

// The value of an option that takes exactly one, or nullptr after writing the argument-count error.
const std::string* singleOptionValue(const CommandLine& commandLine, std::string_view name) {
    if (commandLine.valueCount(name) != 1) {
        auto& log = ServerLog::instance();
        log.line("ERROR: Invalid number of arguments for '", name, "'.");
        return nullptr;
    }
    return commandLine.getValue(name);
}

// Where both the short and the long form are given, the short form is the one used.
const char* firstGivenOf(const CommandLine& commandLine, const char* shortName, const char* longName) {
    if (commandLine.has(shortName))
        return shortName;
    if (commandLine.has(longName))
        return longName;
    return nullptr;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The first line of a regular file, without its line end; on failure the reason, as the operating
// system words it where it has one.
bool readFirstLine(const std::string& path, std::string& line, std::string& reason) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (error) {
        reason = error.message();
        return false;
    }
    if (!std::filesystem::is_regular_file(status)) {
        reason = "not a regular file";
        return false;
    }
    errno = 0;
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        reason = std::generic_category().message(errno);
        return false;
    }
    line.clear();
    for (int c = std::fgetc(file.get()); c != EOF && c != '\n'; c = std::fgetc(file.get())) {
        if (line.size() == kMaxAdminPasswordLength) {
            reason = "its first line is longer than " + std::to_string(kMaxAdminPasswordLength) + " bytes";
            return false;
        }
        line.push_back(static_cast<char>(c));
    }
    if (std::ferror(file.get())) {
        reason = std::generic_category().message(errno);
        return false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
        reason = "its first line is empty";
        return false;
    }
    // A login's password ends at its first NUL, so such a password could never be given.
    if (line.find('\0') != std::string::npos) {
        reason = "its first line holds a NUL byte";
        return false;
    }
    return true;
}

}  // namespace

CommandLine& CommandLine::instance() {
    auto& commandLine = processCommandLine();
    if (!commandLine)
        commandLine = std::make_unique<CommandLine>();
    return *commandLine;
}

void CommandLine::destroyInstance() {
    processCommandLine().reset();
}

int CommandLine::parse(int argumentCount, const char* const* arguments) {
    options_.clear();
    int index = 1;
    while (index < argumentCount) {
        const std::string_view argument = arguments[index] != nullptr ? arguments[index] : "";
        ++index;
        if (!isOption(argument))
            continue;

        std::vector<std::string> values;
        std::string_view name = argument;
        if (const auto equals = argument.find('='); equals != std::string_view::npos) {
            name = argument.substr(0, equals);
            values.emplace_back(argument.substr(equals + 1));
        }
        while (index < argumentCount && arguments[index] != nullptr && !isOption(arguments[index])) {
            values.emplace_back(arguments[index]);
            ++index;
        }
        if (const auto entry = options_.find(name); entry != options_.end()) {
            entry->second = std::move(values);
        } else {
            options_.emplace(std::string(name), std::move(values));
        }
    }
    return static_cast<int>(options_.size());
}

bool CommandLine::has(std::string_view name) const {
    return options_.find(name) != options_.end();
}

std::int32_t CommandLine::valueCount(std::string_view name) const {
    const auto entry = options_.find(name);
    if (entry == options_.end())
        return -1;
    return static_cast<std::int32_t>(entry->second.size());
}

const std::string* CommandLine::getValue(std::string_view name, std::uint32_t index) const {
    const auto entry = options_.find(name);
    if (entry == options_.end() || index >= entry->second.size())
        return nullptr;
    return &entry->second[index];
}

bool CommandLine::isOption(std::string_view argument) {
    return argument.size() >= 2 && argument[0] == '-' && !isDecimalDigit(argument[1]);
}

bool loadConfigurationFromOptions() {
    const CommandLine& commandLine = CommandLine::instance();
    if (const char* option = firstGivenOf(commandLine, "-c", "--conf")) {
        const std::string* path = singleOptionValue(commandLine, option);
        return path != nullptr && ConfigFile::instance().load(*path);
    }
    return ConfigFile::instance().load(std::string(kDefaultConfigurationFile));
}

bool openLogFromOptions() {
    const CommandLine& commandLine = CommandLine::instance();
    if (const char* option = firstGivenOf(commandLine, "-l", "--log")) {
        const std::string* path = singleOptionValue(commandLine, option);
        return path != nullptr && ServerLog::instance().open(*path);
    }
    const ConfigFile& config = ConfigFile::instance();
    if (!config.has("LogFile"))
        return true;
    if (config.valueCount("LogFile") != 1) {
        ServerLog::instance().line(
            "ERROR: Invalid number of values for 'LogFile' in the configuration file.");
        return false;
    }
    return ServerLog::instance().open(*config.getString("LogFile"));
}

bool applyAdminPasswordFile() {
    const CommandLine& commandLine = CommandLine::instance();
    if (!commandLine.has(kAdminPasswordFileOption))
        return true;
    const std::string* path = singleOptionValue(commandLine, kAdminPasswordFileOption);
    if (path == nullptr)
        return false;
    std::string password;
    std::string reason;
    if (!readFirstLine(*path, password, reason)) {
        auto& log = ServerLog::instance();
        log.line("ERROR: Unable to read the admin password file '", *path, "': ", reason, ".");
        return false;
    }
    ConfigFile::instance().setValues("AdminPassword", {std::move(password)});
    return true;
}

void writeVersionBanner() {
    writeVersionLine();
    ServerLog::instance().line("");
}

void writeVersionLine() {
    constexpr std::string_view kVersionLine = "Varn Server for Varn:PB 0.3 (Server: 0.3.1)";
    static_assert(kVersionLine.ends_with("(Server: 0.3.1)") && kServerVersion == "0.3.1",
                  "the version line and kServerVersion name the same version");
    ServerLog::instance().line(kVersionLine);
}

void writeUsageText() {
    auto& log = ServerLog::instance();
    log.line("Usage: VarnServer [OPTION]...");
    log.line("");
    log.line("  -c, --conf=PATH       specify the path to the configuration file");
    log.line("  -l, --log=PATH        specify the path to the file you wish to log to");
    log.line("  -h, --help            display this help and exit");
    log.line("  -q, --quiet           enter quiet mode (absolutely no output to STDOUT)");
    log.line("");
    log.line("By default, the configuration file (varnserver.conf) will be read from the");
    log.line("the current directory.");
    log.line("");
    log.line("Report bugs to ", kProjectAddress);
}

}  // namespace varn
