#include "app/Server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "access/BanList.h"
#include "access/KnownAdministrators.h"
#include "access/PasswordLockout.h"
#include "admin/AdminServer.h"
#include "app/LoopTimers.h"
#include "app/MainLoop.h"
#include "app/SocketDrain.h"
#include "browser/BrowserQuery.h"
#include "config/CommandLine.h"
#include "config/CommandLineCheck.h"
#include "config/ConfigCheck.h"
#include "config/ConfigFile.h"
#include "config/ServerSettings.h"
#include "game/GameServer.h"
#include "log/ServerLog.h"
#include "metrics/MetricsEndpoint.h"
#include "metrics/ServerMetrics.h"
#include "net/ReceiveBatch.h"
#include "net/UdpEndpoint.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/Signals.h"
#include "platform/SystemCalls.h"
#include "platform/Wait.h"
#include "protocol/AdminProtocol.h"
#include "protocol/GameProtocol.h"
#include "scripting/GameForScripts.h"
#include "scripting/Scripting.h"

namespace varn {

namespace {

constexpr int kExitNormal = 0;
constexpr int kExitFailure = 1;
constexpr int kKeyQuitLower = 'q';
constexpr int kKeyQuitUpper = 'Q';
// Datagrams one socket may hand the loop per pass; a socket with more waiting is read again in the
// next pass, after the timers, the signals, the other sockets and the console have had their turn.
constexpr std::size_t kPassBudget = 256;
static_assert(ReceiveBatch::kDatagramBytes == kMaxDatagramSize);

// The wait's mechanism: the cheapest the system offers, unless VARN_WAIT=poll asks for the plain
// one (for comparing them).
platform::WaitBackend waitBackendAsked() {
    const char* asked = std::getenv("VARN_WAIT");
    if (asked != nullptr && std::string_view(asked) == "poll") return platform::WaitBackend::poll;
    return platform::WaitBackend::automatic;
}

class Server {
public:
    Server(platform::Console& console, const platform::Clock& clock) : console_(console), clock_(clock) {}

    int run(int argumentCount, const char* const* arguments);

private:
    // The three early exits: wait for a key and end without destroying anything, so the log keeps
    // no closing marker.
    [[noreturn]] void waitForKeyAndExit(int status);
    int checkConfiguration(std::uint32_t commandLineWarningCount);
    bool startUp();
    bool openGameSocket();
    bool startGameServer();
    bool startScripts();
    void enableServerPassword();
    void startAdminServer();
    void rememberAdministrators();
    void registerLoopTasks();
    void runLoop();
    void handleOperatorSignals();
    void drainGameSocket();
    void drainAdminSocket();
    void pollBrowser();
    void flushSends();
    void readConsoleKey();
    void waitForNextPass(std::int64_t passStartMicroseconds);
    void startMetrics();
    void shutDown();
    void shortShutDown();

    platform::Console& console_;
    const platform::Clock& clock_;
    ServerSettings settings_;
    std::int64_t startCalendarSeconds_ = 0;
    // Only with MetricsPort: the counters outlive the game that tells them its events.
    std::unique_ptr<ServerMetrics> metrics_;
    std::unique_ptr<BanList> bans_;
    std::unique_ptr<PlayerRegistry> players_;
    std::unique_ptr<UdpEndpoint> gameEndpoint_;
    std::unique_ptr<UdpEndpoint> adminEndpoint_;
    PasswordLockout passwordLockout_;
    std::unique_ptr<KnownAdministrators> knownAdministrators_;
    std::unique_ptr<GameServer> gameServer_;
    std::unique_ptr<AdminServer> adminServer_;
    std::unique_ptr<BrowserQuery> browser_;
    std::unique_ptr<GameForScripts> gameForScripts_;
    std::unique_ptr<Scripts> scripts_;
    ReceiveBatch receiveBatch_;
    bool adminActive_ = false;
    // The loop outlives the tasks registered with it.
    std::unique_ptr<MainLoop> loop_;
    std::unique_ptr<LoopTimers> timers_;
    LoopTasks::TaskId gameTask_ = 0;
    LoopTasks::TaskId adminTask_ = 0;
    LoopTasks::TaskId browserTask_ = 0;
    LoopTasks::TaskId consoleTask_ = 0;
    // When the browser's next heartbeat is due, in the loop's time; none while heartbeats do not run.
    std::optional<LoopTasks::Milliseconds> heartbeatDue_;
    std::unique_ptr<MetricsEndpoint> metricsEndpoint_;
    int lastKey_ = 0;
};

// A pass's start and end, for the metrics' histogram of pass durations.
std::int64_t passMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Server::waitForKeyAndExit(int status) {
    console_.waitForKey();
    console_.restore();
    std::cout.flush();
    std::_Exit(status);
}

int Server::run(int argumentCount, const char* const* arguments) {
    ServerLog& log = ServerLog::instance();
    CommandLine& commandLine = CommandLine::instance();
    commandLine.parse(argumentCount, arguments);
    const std::vector<std::string> argumentWarnings = commandLineWarnings(argumentCount, arguments);
    for (const std::string& warning : argumentWarnings) log.diagnostic(warning);

    if (commandLine.has("-h") || commandLine.has("--help")) {
        writeVersionBanner();
        writeUsageText();
        console_.waitForKey();
        console_.restore();
        std::cout.flush();
        std::_Exit(kExitNormal);
    }
    // Touches no file and starts nothing.
    if (commandLine.has(kVersionOption)) {
        writeVersionLine();
        return kExitNormal;
    }
    if (commandLine.has("-q") || commandLine.has("--quiet")) log.setQuiet(true);
    if (commandLine.has(kCheckConfigOption)) {
        return checkConfiguration(static_cast<std::uint32_t>(argumentWarnings.size()));
    }

    if (!loadConfigurationFromOptions()) {
        writeVersionBanner();
        log.line("ERROR: The configuration file could not be loaded.");
        reportConfigurationLoadFailure(ConfigFile::instance());
        waitForKeyAndExit(kExitFailure);
    }
    reportConfigurationWarnings(ConfigFile::instance());
    if (logTimestampsWanted(ConfigFile::instance())) log.setTimestampClock(&clock_);
    if (!openLogFromOptions()) {
        writeVersionBanner();
        log.line("ERROR: Unable to setup log for writing ... no file logging available.");
        log.line("");
        if (!log.openFailure().empty()) log.diagnostic("varnserver: ", log.openFailure());
    } else {
        writeVersionBanner();
    }
    if (!validateConfiguration()) {
        log.line(
            "ERROR: The ServerName, ServerPort, Game, GameMode and BannedFile MUST be specified in the "
            "configuration file.");
        waitForKeyAndExit(kExitFailure);
    }
    if (!applyAdminPasswordFile()) waitForKeyAndExit(kExitFailure);
    reportAdminPasswordWarnings(ConfigFile::instance(), commandLine.getValue(kAdminPasswordFileOption));
    reportAdminAddressWarnings(ConfigFile::instance());
    if (const auto error = metricsAddressError(ConfigFile::instance())) log.line(*error);
    settings_ = readServerSettings(ConfigFile::instance());

    if (!startUp()) {
        shortShutDown();
        return kExitFailure;
    }
    runLoop();
    const bool stoppedBySendLimit = !gameEndpoint_->isOpen;
    shutDown();
    return stoppedBySendLimit ? kExitFailure : kExitNormal;
}

// Loads and validates the configuration as a start-up would, writing the same messages to the
// console, and touches nothing else: no log file, no ban file, no socket, no key. The warnings, the
// reasons and the closing count go to standard error. Under --strict every warning is an error too.
int Server::checkConfiguration(std::uint32_t commandLineWarningCount) {
    ServerLog& log = ServerLog::instance();
    const ConfigFile& config = ConfigFile::instance();
    const CommandLine& commandLine = CommandLine::instance();
    const bool strict = commandLine.has(kStrictOption);
    std::uint32_t warnings = commandLineWarningCount;
    const auto finish = [&log, &warnings, strict](std::uint32_t errors, int status) {
        const bool wouldStart = status == kExitNormal;
        if (!strict) {
            log.diagnostic(configurationCheckSummary(errors, wouldStart));
            return status;
        }
        log.diagnostic(strictConfigurationCheckSummary(errors, warnings, wouldStart));
        return errors + warnings == 0 ? kExitNormal : kExitFailure;
    };
    if (!loadConfigurationFromOptions()) {
        log.line("ERROR: The configuration file could not be loaded.");
        reportConfigurationLoadFailure(config);
        return finish(1, kExitFailure);
    }
    warnings += static_cast<std::uint32_t>(reportConfigurationWarnings(config));
    std::uint32_t errors = config.lineErrorCount();
    const bool logNamedByOption = commandLine.has("-l") || commandLine.has("--log");
    if (!logNamedByOption && logFileValueCountInvalid(config)) {
        log.line("ERROR: Invalid number of values for 'LogFile' in the configuration file.");
        ++errors;
    }
    if (!validateConfiguration()) {
        log.line(
            "ERROR: The ServerName, ServerPort, Game, GameMode and BannedFile MUST be specified in the "
            "configuration file.");
        return finish(errors + 1, kExitFailure);
    }
    if (!applyAdminPasswordFile()) return finish(errors + 1, kExitFailure);
    warnings += static_cast<std::uint32_t>(
        reportAdminPasswordWarnings(config, commandLine.getValue(kAdminPasswordFileOption)));
    warnings += static_cast<std::uint32_t>(reportAdminAddressWarnings(config));
    if (const auto error = metricsAddressError(config)) {
        log.line(*error);
        ++errors;
    }
    // The scripts are compiled, never run.
    const ServerSettings settings = readServerSettings(config);
    if (!settings.scripts.files.empty()) {
        for (const std::string& error : compileScripts(settings.scripts)) {
            log.line("ERROR: A script could not be compiled: ", printableForLog(error));
            log.diagnostic("varnserver: ", error);
            ++errors;
        }
        if (errors > 0) return finish(errors, kExitFailure);
    }
    return finish(errors, kExitNormal);
}

bool Server::startUp() {
    startCalendarSeconds_ = clock_.calendarSeconds();
    bans_ = std::make_unique<BanList>(platform::FileSystem::system(), clock_);
    if (!bans_->load(*settings_.bannedFile)) {
        ServerLog& log = ServerLog::instance();
        log.line("ERROR: Unable to open existing Banned IP list. Starting clean.");
        log.diagnostic("varnserver: ", *settings_.bannedFile, ": ",
                       platform::whyFileCannotBeRead(*settings_.bannedFile));
    }
    if (!openGameSocket()) return false;
    // Made before the game, so scripts can register their timers while they load.
    loop_ = std::make_unique<MainLoop>(clock_, platform::createWaitSet(waitBackendAsked()));
    if (!startGameServer()) return false;

    ServerLog& log = ServerLog::instance();
    log.line("SERVER: press 'q' or 'Q' to shutdown the server.");
    if (settings_.adminServer) startAdminServer();
    if (settings_.browserRegistration) {
        log.line("SERVER: ASE registration is enabled ... will attempt to register (if possible).");
        browser_ = std::make_unique<BrowserQuery>(gameEndpoint_->port, settings_, *players_, clock_);
    }

    registerLoopTasks();
    startMetrics();
    lastKey_ = 0;
    return true;
}

bool Server::openGameSocket() {
    ServerLog& log = ServerLog::instance();
    gameEndpoint_ = std::make_unique<UdpEndpoint>(settings_.sendLimit, platform::createUdpSocket);
    adminEndpoint_ = std::make_unique<UdpEndpoint>(settings_.sendLimit, platform::createUdpSocket);
    UdpEndpoint& gameEndpoint = *gameEndpoint_;
    const std::optional<std::string>& gameAddress = settings_.gameAddress;
    if (!gameEndpoint.open(settings_.serverPort, gameAddress ? gameAddress->c_str() : nullptr)) {
        log.line("SERVER: unable to start the server.");
        return false;
    }
    // A burst of a full server waits in the kernel while a pass is busy; a buffer the system's limit
    // cut is said once, on standard error, and the server goes on with what it got.
    const int granted = gameEndpoint.setReceiveBufferBytes(settings_.receiveBufferBytes);
    if (granted >= 0 && granted < settings_.receiveBufferBytes) {
        log.diagnostic("varnserver: the receive buffer of the game socket is ", granted, " bytes, not the ",
                       settings_.receiveBufferBytes,
                       " of ReceiveBufferBytes: the system's limit (net.core.rmem_max on Linux) cut it");
    }
    log.line("ServerName = '", *settings_.serverName, "'");
    log.line("ServerPort = ", settings_.serverPortText);
    if (gameAddress) log.line("Game Listening IP: ", ipTextOf(gameEndpoint.bindAddress.address).view());
    return true;
}

bool Server::startGameServer() {
    ServerLog& log = ServerLog::instance();
    players_ = std::make_unique<PlayerRegistry>();
    gameServer_ =
        std::make_unique<GameServer>(*players_, *gameEndpoint_, *bans_, passwordLockout_, settings_, clock_);
    adminServer_ =
        std::make_unique<AdminServer>(*gameServer_, *adminEndpoint_, *bans_, passwordLockout_, settings_, clock_);
    gameEndpoint_->setDropObserver([this](std::size_t length) {
        gameServer_->notifySendDropped(SendDropped{SocketKind::Game, length});
    });
    adminEndpoint_->setDropObserver([this](std::size_t length) {
        gameServer_->notifySendDropped(SendDropped{SocketKind::Admin, length});
    });
    if (settings_.testMode) {
        log.line("PLEASE NOTE: Testmode is on.");
        log.line("");
    }
    log.line("SERVER: successfully started the server (port ", gameEndpoint_->port, ")");
    if (!settings_.scripts.files.empty() && !startScripts()) return false;
    // The statistics lines' writer writes the server's start here.
    gameServer_->notifyServerStarted();

    if (settings_.messageOfTheDay) {
        gameServer_->loadMessageOfTheDay();
    }
    if (settings_.serverPasswordSwitchedOn) enableServerPassword();
    return true;
}

// ScriptFiles: every file compiled and run in order before the server's start is announced; a file
// that fails stops the start-up with its file and line on standard error.
bool Server::startScripts() {
    ServerLog& log = ServerLog::instance();
    if (!scriptsBuiltIn()) {
        log.line("ERROR: ScriptFiles is set, but this server was built without Lua (no scripts).");
        return false;
    }
    if (settings_.scripts.textKind == kChatKindNotRelayed) {
        log.line("ERROR: ScriptTextKind 3 is the chat kind that is never relayed; scripts cannot use it.");
        return false;
    }
    gameForScripts_ = std::make_unique<GameForScripts>(*gameServer_, settings_, clock_);
    std::string error;
    scripts_ = loadScripts(settings_.scripts, *gameForScripts_, clock_, platform::FileSystem::system(), loop_.get(), error);
    if (!scripts_) {
        log.line("ERROR: A script could not be loaded: ", printableForLog(error));
        log.diagnostic("varnserver: ", error);
        return false;
    }
    gameServer_->addObserver(*scripts_);
    adminServer_->setScriptReload([this] { return scripts_->reload(); });
    return true;
}

void Server::enableServerPassword() {
    ServerLog& log = ServerLog::instance();
    if (settings_.serverPassword.has_value()) {
        log.line("SERVER: Server password enabled successfully.");
        gameServer_->requirePassword();
    } else {
        log.line("ERROR: Server password enabled, but no password found. Server password disabled.");
    }
}

void Server::startAdminServer() {
    ServerLog& log = ServerLog::instance();
    UdpEndpoint& adminEndpoint = *adminEndpoint_;
    const std::optional<std::string>& adminAddress = settings_.adminAddress;
    const std::int32_t adminPort = settings_.adminPort > 0 ? settings_.adminPort : admin::kDefaultPort;
    if (!adminEndpoint.open(adminPort, adminAddress ? adminAddress->c_str() : nullptr)) {
        log.line("ADMINSERVER: Could not start admin server.");
        return;
    }
    if (!settings_.adminPassword.has_value()) {
        // The socket stays bound but is never read and never answers.
        log.line("ADMINSERVER: No password set, cannot start server.");
        return;
    }
    log.line("ADMINSERVER: successfully started the server (port ", adminEndpoint.port, ")");
    adminActive_ = true;
    rememberAdministrators();
}

// With the lock-out on, the addresses administrators logged in from are kept beside the ban file.
void Server::rememberAdministrators() {
    if (!settings_.passwordLockout || settings_.adminRememberDays <= 0) return;
    const std::filesystem::path folder = std::filesystem::path(*settings_.bannedFile).parent_path();
    knownAdministrators_ = std::make_unique<KnownAdministrators>(platform::FileSystem::system(), clock_,
                                                                 settings_.adminRememberDays);
    knownAdministrators_->load((folder / KnownAdministrators::kFileName).string());
    passwordLockout_.rememberAdministratorsIn(*knownAdministrators_);
}

// The built-in tasks, in the order of a pass: the timers, then the game, admin and browser sockets,
// the console key and the signals' wake-up. What other features register comes after them.
void Server::registerLoopTasks() {
    timers_ = std::make_unique<LoopTimers>(*loop_, clock_, *gameServer_, *gameEndpoint_, *adminEndpoint_,
                                           settings_.chatFloodMaxCount);
    gameTask_ = loop_->addSocket(gameEndpoint_->waitHandle(), Interest::Read,
                                 [this](Readiness, LoopTasks::Milliseconds) { drainGameSocket(); });
    if (adminActive_) {
        adminTask_ = loop_->addSocket(adminEndpoint_->waitHandle(), Interest::Read,
                                      [this](Readiness, LoopTasks::Milliseconds) { drainAdminSocket(); });
    }
    if (browser_) {
        browserTask_ = loop_->addSocket(browser_->waitHandle(), Interest::Read,
                                        [this](Readiness, LoopTasks::Milliseconds) { pollBrowser(); });
        const int toHeartbeat = browser_->millisecondsToNextHeartbeat();
        if (toHeartbeat >= 0) heartbeatDue_ = loop_->now() + toHeartbeat;
    }
    consoleTask_ = loop_->addSocket(console_.waitHandle(), Interest::Read, [this](Readiness, LoopTasks::Milliseconds) {
        readConsoleKey();
        // A console gone to the background, or closed, is no longer watched.
        loop_->setHandle(consoleTask_, console_.waitHandle());
    });
    // Back in the foreground, it is watched again within a second.
    if (console_.readsKeys()) {
        loop_->addPeriodic(1000, [this](LoopTasks::Milliseconds) {
            loop_->setHandle(consoleTask_, console_.waitHandle());
        });
    }
    loop_->addSocket(platform::StopSignals::waitHandle(), Interest::Read,
                     [](Readiness, LoopTasks::Milliseconds) { platform::StopSignals::drain(); });
}

void Server::runLoop() {
    // Replies, relays and broadcasts are queued and sent in batches after each receive batch, after
    // the timers and before the loop waits.
    gameEndpoint_->setBatchedSends(true);
    adminEndpoint_->setBatchedSends(true);
    for (;;) {
        // Timed only for the metrics endpoint's histogram.
        const std::int64_t passStart = metrics_ ? passMicroseconds() : 0;
        if (lastKey_ == kKeyQuitLower || !gameEndpoint_->isOpen || adminServer_->shutdownRequested() ||
            platform::StopSignals::stopRequested()) {
            break;
        }
        handleOperatorSignals();
        loop_->runDueTimers();
        // The timers' pings go out before the disk is touched: a long ban list takes a while to write.
        flushSends();
        // The server's own ban changes (flood bans, expiry), written together.
        bans_->saveIfDue();
        // The console is looked at when keys wait in its buffer too; the browser when a heartbeat
        // falls due.
        if (console_.keyBuffered()) loop_->wake(consoleTask_);
        if (heartbeatDue_ && loop_->now() >= *heartbeatDue_) loop_->wake(browserTask_);
        loop_->runReadySockets();
        if (lastKey_ == kKeyQuitUpper) break;
        if (lastKey_ != kKeyQuitLower) waitForNextPass(passStart);
    }
    flushSends();
}

// A service manager's reload (SIGHUP without a terminal) and log rotation (SIGUSR1), between passes.
void Server::handleOperatorSignals() {
    if (platform::StopSignals::takeReloadRequest()) {
        const std::optional<std::string>& banFile = settings_.bannedFile;
        const bool bansReloaded = banFile && bans_->load(*banFile);
        if (!bansReloaded) ServerLog::instance().line("SERVER-WARNING: Unable to reload the Banned IP list.");
        const bool motdReloaded = settings_.messageOfTheDay && gameServer_->loadMessageOfTheDay();
        if (bansReloaded) {
            ServerLog::instance().line("SERVER: Reloaded the Banned IP list (", bans_->entries().size(),
                                       " entries)", motdReloaded ? " and the message of the day." : ".");
        }
        if (scripts_) scripts_->reload();
    }
    if (platform::StopSignals::takeLogReopenRequest()) ServerLog::instance().reopen();
}

// Each socket is read up to its budget per pass, in batches whose sends go out before the next
// batch is read.
void Server::drainGameSocket() {
    drainForOnePass(
        *gameEndpoint_, receiveBatch_, kPassBudget,
        [this](std::uint8_t command, const std::uint8_t* payload, const PeerAddress& from, std::int32_t length) {
            gameServer_->processCommand(signedByte(command), payload, from, length);
        },
        [this] { flushSends(); });
}

void Server::drainAdminSocket() {
    drainForOnePass(
        *adminEndpoint_, receiveBatch_, kPassBudget,
        [this](std::uint8_t command, const std::uint8_t* payload, const PeerAddress& from, std::int32_t length) {
            adminServer_->processCommand(signedByte(command), payload, from, length);
        },
        [this] { flushSends(); });
}

// Answers what the browser socket holds and sends a heartbeat when one is due.
void Server::pollBrowser() {
    browser_->poll();
    const int toHeartbeat = browser_->millisecondsToNextHeartbeat();
    heartbeatDue_.reset();
    if (toHeartbeat >= 0) heartbeatDue_ = loop_->now() + toHeartbeat;
}

void Server::flushSends() {
    gameEndpoint_->flush();
    adminEndpoint_->flush();
}

void Server::readConsoleKey() {
    if (!console_.keyWaiting()) return;
    const int key = console_.readKey();
    if (key != 0) lastKey_ = key;
}

void Server::waitForNextPass(std::int64_t passStartMicroseconds) {
    flushSends();
    if (metrics_) metrics_->passDurations().observe(passMicroseconds() - passStartMicroseconds);
    // A socket the send limit closed is not watched.
    loop_->setHandle(gameTask_, gameEndpoint_->waitHandle());
    if (adminActive_) loop_->setHandle(adminTask_, adminEndpoint_->waitHandle());
    // With nobody on the server and nothing pending, the once-a-second pass rests; scripts hear
    // every second.
    timers_->restWhileQuiet(scripts_ != nullptr);
    // Sleep in the kernel until a datagram, a key or a signal arrives, or a timer or a heartbeat
    // falls due. Signals that cannot wake the wait are looked for every second.
    int longest = platform::StopSignals::waitHandle() == platform::kNoWaitHandle ? 1000 : -1;
    if (heartbeatDue_) {
        const auto toHeartbeat = std::max<LoopTasks::Milliseconds>(*heartbeatDue_ - loop_->now(), 0);
        longest = longest < 0 ? static_cast<int>(toHeartbeat)
                              : static_cast<int>(std::min<LoopTasks::Milliseconds>(toHeartbeat, longest));
    }
    loop_->wait(longest);
}

// With MetricsPort: the endpoint on the loop and the counters as an observer of the game. Without it,
// or when its port cannot be had, nothing of it exists.
void Server::startMetrics() {
    if (!settings_.metricsPort) return;
    std::unique_ptr<platform::StreamListener> listener =
        openMetricsListener(settings_.metricsAddress, *settings_.metricsPort);
    if (!listener) return;
    MetricsSources sources;
    sources.serverName = settings_.serverName.value_or(std::string());
    sources.maxPlayers = settings_.maxPlayers;
    sources.startCalendarSeconds = startCalendarSeconds_;
    sources.gameTraffic = [this] { return gameEndpoint_->traffic(); };
    sources.adminTraffic = [this] { return adminEndpoint_->traffic(); };
    if (browser_) {
        sources.browserTraffic = [this] { return browser_->traffic(); };
        sources.queryRepliesDropped = &browser_->repliesDropped();
    }
    sources.banEntries = [this] { return bans_->entries().size(); };
    sources.banFileSaveFailures = [this] { return bans_->failedSaves(); };
    sources.logWriteFailures = [] { return ServerLog::instance().writeFailures(); };
    if (scripts_) {
        sources.scriptErrors = [this] { return scripts_->errorsByScript(); };
        sources.scriptNanoseconds = [this] { return scripts_->nanosecondsTotal(); };
    }
    metrics_ = std::make_unique<ServerMetrics>(std::move(sources));
    gameServer_->addObserver(metrics_->gameCounters());
    metricsEndpoint_ = std::make_unique<MetricsEndpoint>(*loop_, std::move(listener),
                                                         [this] { return metrics_->render(); }, loop_->now());
}

void Server::shutDown() {
    ServerLog& log = ServerLog::instance();
    UdpEndpoint& gameEndpoint = *gameEndpoint_;
    metricsEndpoint_.reset();
    // Nobody is told of a leave: the players simply stop hearing from the server.
    gameServer_->notifyServerStopping();
    gameEndpoint.setDropObserver({});
    adminEndpoint_->setDropObserver({});
    browser_.reset();
    if (adminActive_) {
        adminEndpoint_->close();
        log.line("ADMINSERVER: successfully shutdown the server.");
    }
    timers_.reset();
    // The scripts' timers are the loop's tasks: the scripts go first.
    if (scripts_) {
        gameServer_->removeObserver(*scripts_);
        scripts_.reset();
    }
    loop_.reset();
    adminServer_.reset();
    gameServer_.reset();
    adminEndpoint_.reset();
    log.line("SERVER: A total of ", gameEndpoint.bytesReceived, " bytes were received and ",
             gameEndpoint.bytesSent, " bytes were sent.");
    gameEndpoint.close();
    log.line("SERVER: successfully shutdown the server.");
    shortShutDown();
}

void Server::shortShutDown() {
    if (bans_) bans_->save();
    bans_.reset();
    gameEndpoint_.reset();
    CommandLine::destroyInstance();
    ServerLog::destroyInstance();
    console_.restore();
}

}  // namespace

int runServer(int argumentCount, const char* const* arguments) {
    ServerLog::instance();
    platform::Console console;
    console.start();
    platform::StopSignals::install(console.readsKeys());
    Server server(console, platform::SystemClock::instance());
    const int status = server.run(argumentCount, arguments);
    platform::writeSystemCallCountsIfAsked();
    return status;
}

}  // namespace varn
