#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace varn {

// The program's options with their values, in the shape of the configuration store.
class CommandLine {
public:
    static CommandLine& instance();
    static void destroyInstance();

    // Fills the store from the program arguments (the first, the program's name, is skipped);
    // returns the number of distinct options stored.
    int parse(int argumentCount, const char* const* arguments);
    bool has(std::string_view name) const;
    // The number of values, or -1 when the option was not given.
    std::int32_t valueCount(std::string_view name) const;
    // The value at index, or nullptr.
    const std::string* getValue(std::string_view name, std::uint32_t index = 0) const;

    // Whether an argument is an option name: at least two characters, a '-' first, no digit second.
    static bool isOption(std::string_view argument);

private:
    std::map<std::string, std::vector<std::string>, std::less<>> options_;
};

// Loads the configuration file named by "-c" / "--conf", else "varnserver.conf".
bool loadConfigurationFromOptions();
// Opens the log file named by "-l" / "--log", else by the key LogFile; true when none is wanted.
bool openLogFromOptions();
// Puts the first line of the file named by "--admin-password-file" in place of the key AdminPassword;
// true when the option is not given. Writes why and returns false when the file cannot be used.
bool applyAdminPasswordFile();
void writeVersionBanner();
// The first line of the banner alone, for --version.
void writeVersionLine();
void writeUsageText();

inline constexpr std::string_view kDefaultConfigurationFile = "varnserver.conf";
inline constexpr std::string_view kAdminPasswordFileOption = "--admin-password-file";
inline constexpr std::string_view kVersionOption = "--version";
inline constexpr std::string_view kCheckConfigOption = "--check-config";
// With --check-config: every warning counts as an error.
inline constexpr std::string_view kStrictOption = "--strict";
// A password longer than this could never arrive in one admin login datagram.
inline constexpr std::size_t kMaxAdminPasswordLength = 1000;
inline constexpr std::string_view kProjectAddress = "https://varnserver.example.org/bugs";

}  // namespace varn
