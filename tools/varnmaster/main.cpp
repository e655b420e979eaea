// varnmaster: the master service for Varn servers. Servers send it heartbeats; it verifies each with a
// challenge, polls their status and serves the list over HTTP.

#include <cstdio>
#include <iostream>
#include <string>

#include "MasterService.h"
#include "MasterSettings.h"
#include "app/MainLoop.h"
#include "config/CommandLine.h"
#include "config/ConfigCheck.h"
#include "config/ConfigFile.h"
#include "log/ServerLog.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Signals.h"

namespace {

using namespace varn;

constexpr std::string_view kDefaultConfig = "varnmaster.conf";

void writeUsage() {
    std::cout << "Usage: varnmaster [options]\n"
                 "The master service for Varn servers: verifies their heartbeats, polls them and serves the list.\n\n"
                 "  -c, --conf PATH       read the settings from PATH (default varnmaster.conf)\n"
                 "  -l, --log PATH        write the log to PATH (instead of LogFile)\n"
                 "  -q, --quiet           write nothing to the console but errors\n"
                 "      --check-config    check the settings file and exit (0 when it is fine)\n"
                 "      --strict          with --check-config: every warning is an error too\n"
                 "      --version         print the version and exit\n"
                 "  -h, --help            display this help and exit\n";
}

const std::string* optionValue(const CommandLine& commandLine, std::string_view shortName, std::string_view longName) {
    if (const std::string* value = commandLine.getValue(shortName)) return value;
    return commandLine.getValue(longName);
}

}  // namespace

int main(int argumentCount, char** arguments) {
    CommandLine commandLine;
    commandLine.parse(argumentCount, arguments);
    if (commandLine.has("-h") || commandLine.has("--help")) {
        writeUsage();
        return 0;
    }
    if (commandLine.has("--version")) {
        std::cout << "varnmaster " << VARN_VERSION << "\n";
        return 0;
    }
    ServerLog& log = ServerLog::instance();
    if (commandLine.has("-q") || commandLine.has("--quiet")) log.setQuiet(true);

    const bool checking = commandLine.has("--check-config");
    const std::string* givenConfig = optionValue(commandLine, "-c", "--conf");
    const std::string configPath = givenConfig != nullptr ? *givenConfig : std::string(kDefaultConfig);
    if ((commandLine.has("-c") || commandLine.has("--conf")) && givenConfig == nullptr) {
        log.diagnostic("varnmaster: -c needs the path of a settings file");
        return 2;
    }
    ConfigFile config;
    if (!config.load(configPath)) {
        log.diagnostic("varnmaster: ", configPath, ": ", platform::whyFileCannotBeRead(configPath));
        return 1;
    }
    const std::size_t warnings = reportConfigurationWarnings(config, master::masterConfigKeys());
    const master::MasterSettings settings = master::readMasterSettings(config);
    const std::vector<std::string> errors = master::masterSettingErrors(settings);
    for (const std::string& error : errors) log.diagnostic(error);
    const std::uint32_t errorCount = static_cast<std::uint32_t>(errors.size()) + config.lineErrorCount();
    if (checking) {
        const bool strict = commandLine.has("--strict");
        const std::string summary =
            strict ? strictConfigurationCheckSummary(errorCount, static_cast<std::uint32_t>(warnings), errors.empty())
                   : configurationCheckSummary(errorCount, errors.empty());
        std::cout << summary << "\n";
        return errorCount == 0 && (!strict || warnings == 0) ? 0 : 1;
    }
    if (!errors.empty()) return 1;

    const std::string* logPath = optionValue(commandLine, "-l", "--log");
    if (logPath == nullptr && settings.logFile) logPath = &*settings.logFile;
    if (logPath != nullptr && !log.open(*logPath)) {
        log.diagnostic("varnmaster: log file ", *logPath, ": ", log.openFailure());
        return 1;
    }

    platform::SystemClock clock;
    log.setTimestampClock(&clock);
    MainLoop loop(clock);
    platform::StopSignals::install(false);
    loop.addSocket(platform::StopSignals::waitHandle(), Interest::Read,
                   [](Readiness, LoopTasks::Milliseconds) { platform::StopSignals::drain(); });
    master::MasterService service(settings, loop, clock);
    std::string reason;
    if (!service.start(reason)) {
        log.diagnostic("varnmaster: ", reason);
        return 1;
    }
    log.line("varnmaster ", VARN_VERSION, ": heartbeats on ", settings.listenAddress, ":", settings.listenPort,
             settings.httpPort != 0 ? ", list on http://" + settings.httpAddress + ":" + std::to_string(service.httpPort()) + "/"
                                    : std::string(", no HTTP"));
    while (!platform::StopSignals::stopRequested()) {
        loop.runDueTimers();
        loop.runReadySockets();
        if (platform::StopSignals::takeLogReopenRequest()) log.reopen();
        platform::StopSignals::takeReloadRequest();
        if (platform::StopSignals::stopRequested()) break;
        loop.wait();
    }
    service.saveState();
    log.line("varnmaster: stopped with ", service.list().answeredCount(), " servers listed");
    return 0;
}
