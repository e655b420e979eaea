#include "config/CommandLineCheck.h"

#include <array>
#include <string_view>

#include "config/CommandLine.h"
#include "config/NameSuggestion.h"
#include "log/ServerLog.h"

namespace varn {

namespace {

// A warning shows at most this much of an argument.
constexpr std::size_t kShownTextLimit = 80;

struct KnownOption {
    std::string_view name;
    bool takesValues;
};

constexpr std::array<KnownOption, 12> kKnownOptions = {{
    {"-c", true},
    {"--conf", true},
    {"-l", true},
    {"--log", true},
    {"-h", false},
    {"--help", false},
    {"-q", false},
    {"--quiet", false},
    {kCheckConfigOption, false},
    {kAdminPasswordFileOption, true},
    {kVersionOption, false},
    {kStrictOption, false},
}};

constexpr std::string_view kOptionList =
    "-c/--conf, -l/--log, -h/--help, -q/--quiet, --check-config, --admin-password-file";

std::string shown(std::string_view text) {
    if (text.size() <= kShownTextLimit)
        return printableForLog(text);
    return printableForLog(text.substr(0, kShownTextLimit)) + "...";
}

const KnownOption* findOption(std::string_view name) {
    for (const KnownOption& option : kKnownOptions) {
        if (option.name == name)
            return &option;
    }
    return nullptr;
}

std::string unknownOptionWarning(std::string_view name) {
    std::array<std::string_view, kKnownOptions.size()> names{};
    for (std::size_t i = 0; i < kKnownOptions.size(); ++i)
        names[i] = kKnownOptions[i].name;
    const std::vector<std::string_view> closest = closestNames(name, names);
    std::string warning = "warning: unknown option '" + shown(name) + "' ignored";
    if (!closest.empty())
        return warning + " (did you mean " + quotedAlternatives(closest) + "?)";
    return warning + " (the options are " + std::string(kOptionList) + ")";
}

// A path given without an option was most likely meant as the configuration file, or as the log
// file when it is named like one.
std::string probableOptionFor(std::string_view argument) {
    std::string suggestion = argument.ends_with(".log") ? "'-l " : "'-c ";
    suggestion += shown(argument);
    suggestion += '\'';
    return suggestion;
}

}  // namespace

std::vector<std::string> commandLineWarnings(int argumentCount, const char* const* arguments) {
    std::vector<std::string> warnings;
    // The option the next values belong to; none before the first option and after an unknown one,
    // whose values go with it unremarked.
    const KnownOption* current = nullptr;
    bool beforeFirstOption = true;
    bool strictGiven = false;
    bool checkGiven = false;
    for (int index = 1; index < argumentCount; ++index) {
        const std::string_view argument = arguments[index] != nullptr ? arguments[index] : "";
        if (CommandLine::isOption(argument)) {
            beforeFirstOption = false;
            const std::string_view name = argument.substr(0, argument.find('='));
            current = findOption(name);
            strictGiven = strictGiven || name == kStrictOption;
            checkGiven = checkGiven || name == kCheckConfigOption;
            if (current == nullptr)
                warnings.push_back(unknownOptionWarning(name));
            continue;
        }
        if (beforeFirstOption) {
            warnings.push_back("warning: argument '" + shown(argument) + "' ignored (did you mean " +
                               probableOptionFor(argument) + "?)");
        } else if (current != nullptr && !current->takesValues) {
            warnings.push_back("warning: argument '" + shown(argument) + "' after '" +
                               std::string(current->name) + "' ignored (did you mean " +
                               probableOptionFor(argument) + "?)");
        }
    }
    if (strictGiven && !checkGiven) {
        warnings.push_back("warning: option '" + std::string(kStrictOption) + "' ignored (it works with '" +
                           std::string(kCheckConfigOption) + "' only)");
    }
    return warnings;
}

}  // namespace varn
