#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/CommandLineCheck.h"

namespace varn {
namespace {

using Lines = std::vector<std::string>;

Lines warningsFor(const std::vector<const char*>& arguments) {
    std::vector<const char*> argv = {"varnserver"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return commandLineWarnings(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLineCheckTest, UnknownOptionsAndIgnoredArgumentsAreNamedWithWhatWasProbablyMeant) {
    const std::string allOptions =
        " (the options are -c/--conf, -l/--log, -h/--help, -q/--quiet, --check-config, "
        "--admin-password-file)";
    struct Case {
        const char* name;
        std::vector<const char*> arguments;
        Lines expected;
    };
    const Case cases[] = {
        {"nothing", {}, {}},
        {"every known option",
         {"-c", "a.conf", "--conf=b.conf", "-l", "x.log", "--log", "y.log", "-q", "--quiet", "--check-config",
          "--admin-password-file", "pw", "-h", "--help"},
         {}},
        {"unknown option", {"--frobnicate"}, {"warning: unknown option '--frobnicate' ignored" + allOptions}},
        {"unknown option with a value after =",
         {"--frobnicate=1"},
         {"warning: unknown option '--frobnicate' ignored" + allOptions}},
        {"misspelt long option",
         {"--cnof", "my.conf"},
         {"warning: unknown option '--cnof' ignored (did you mean '--conf'?)"}},
        {"long option with one dash",
         {"-conf", "my.conf"},
         {"warning: unknown option '-conf' ignored (did you mean '--conf'?)"}},
        {"long option in capitals",
         {"--QUIET"},
         {"warning: unknown option '--QUIET' ignored (did you mean '--quiet'?)"}},
        {"unknown short option",
         {"-x"},
         {"warning: unknown option '-x' ignored (did you mean '-c', '-l', '-h' or '-q'?)"}},
        {"check-config misspelt",
         {"--check-conf"},
         {"warning: unknown option '--check-conf' ignored (did you mean '--check-config'?)"}},
        {"stray configuration file",
         {"my.conf"},
         {"warning: argument 'my.conf' ignored (did you mean '-c my.conf'?)"}},
        {"stray log file before an option",
         {"server.log", "-q"},
         {"warning: argument 'server.log' ignored (did you mean '-l server.log'?)"}},
        {"a negative number is an argument",
         {"-5"},
         {"warning: argument '-5' ignored (did you mean '-c -5'?)"}},
        {"value of an option that takes none",
         {"-q", "my.conf"},
         {"warning: argument 'my.conf' after '-q' ignored (did you mean '-c my.conf'?)"}},
        {"values of an unknown option go with it",
         {"--frobnicate", "a", "b"},
         {"warning: unknown option '--frobnicate' ignored" + allOptions}},
        {"in the order given",
         {"a.conf", "--lgo", "x.log", "--check-config", "b"},
         {"warning: argument 'a.conf' ignored (did you mean '-c a.conf'?)",
          "warning: unknown option '--lgo' ignored (did you mean '--log'?)",
          "warning: argument 'b' after '--check-config' ignored (did you mean '-c b'?)"}},
        {"control bytes are not sent to the terminal",
         {"--\x1b[31m"},
         {"warning: unknown option '--?[31m' ignored" + allOptions}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(warningsFor(testCase.arguments), testCase.expected);
    }
}

TEST(CommandLineCheckTest, VersionAndStrictAreKnownAndStrictWantsACheck) {
    struct Case {
        const char* name;
        std::vector<const char*> arguments;
        Lines expected;
    };
    const Case cases[] = {
        {"version", {"--version"}, {}},
        {"strict with a check", {"--strict", "--check-config"}, {}},
        {"strict alone",
         {"--strict", "-q"},
         {"warning: option '--strict' ignored (it works with '--check-config' only)"}},
        {"misspelt version", {"--verison"}, {"warning: unknown option '--verison' ignored (did you mean '--version'?)"}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(warningsFor(testCase.arguments), testCase.expected);
    }
}

}  // namespace
}  // namespace varn
