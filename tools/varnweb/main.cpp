// varnweb: the web console for the admin port of Varn Server.

#include <charconv>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/MainLoop.h"
#include "http/HttpServer.h"
#include "net/PeerAddress.h"
#include "platform/Clock.h"
#include "platform/DatagramSocket.h"
#include "platform/Signals.h"
#include "protocol/AdminProtocol.h"
#include "varnweb/WebConsole.h"

namespace varnweb {
namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr std::uint16_t kDefaultListenPort = 8088;

const char* kUsage =
    "Usage: varnweb [--admin HOST:PORT] [--listen ADDRESS:PORT] [OPTION]...\n"
    "Serves a web console for one Varn Server: each person logs in with a name of their own and the\n"
    "administrators' password, and gets an administrator session on the server under that name.\n"
    "\n"
    "  --admin HOST:PORT      the server's admin address and port (default 127.0.0.1:4003)\n"
    "  --listen ADDRESS:PORT  the console's own IPv4 address and port (default 127.0.0.1:8088); put a\n"
    "                         reverse proxy with TLS in front of it for anything but this computer\n"
    "  --query HOST:PORT      the server's query port (its game port + 123 when it answers status\n"
    "                         queries): the pages show the name it gives, refreshed every 30 s while\n"
    "                         someone is logged in; without it they show the admin address\n"
    "  --behind-tls           the console is reached through HTTPS: its cookie is marked Secure\n"
    "  --idle-minutes N       a login ends after N minutes without a request (default 30)\n"
    "  --max-sessions N       at most N people logged in at once (default 16)\n"
    "  -h, --help             show this text\n"
    "\n"
    "The console holds no password. Stop it with SIGTERM or Ctrl+C; it logs every session out.\n";

struct Options {
    std::string adminHost = "127.0.0.1";
    std::uint16_t adminPort = varn::admin::kDefaultPort;
    std::string listenAddress = "127.0.0.1";
    std::uint16_t listenPort = kDefaultListenPort;
    std::string queryHost;
    std::uint16_t queryPort = 0;
    bool behindTls = false;
    long idleMinutes = 30;
    long maxSessions = 16;
};

std::optional<long> number(std::string_view text, long lowest, long highest) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < lowest || value > highest) {
        return std::nullopt;
    }
    return value;
}

// HOST:PORT, the host a name or an IPv4 address.
bool hostAndPort(std::string_view text, std::string& host, std::uint16_t& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    const auto value = number(text.substr(colon + 1), 1, 65535);
    if (!value) return false;
    host = std::string(text.substr(0, colon));
    port = static_cast<std::uint16_t>(*value);
    return true;
}

std::optional<std::string> parse(int count, char** arguments, Options& options) {
    for (int index = 1; index < count; ++index) {
        std::string_view option = arguments[index];
        std::string value;
        const std::size_t equals = option.find('=');
        const bool takesValue = option.substr(0, equals) != "--behind-tls";
        if (equals != std::string_view::npos) {
            value = std::string(option.substr(equals + 1));
            option = option.substr(0, equals);
        } else if (takesValue && index + 1 < count) {
            value = arguments[++index];
        } else if (takesValue) {
            return "option " + std::string(option) + " needs a value";
        }
        if (option == "--admin") {
            if (!hostAndPort(value, options.adminHost, options.adminPort)) return "--admin takes HOST:PORT, not '" + value + "'";
        } else if (option == "--listen") {
            if (!hostAndPort(value, options.listenAddress, options.listenPort)) return "--listen takes ADDRESS:PORT, not '" + value + "'";
        } else if (option == "--query") {
            if (!hostAndPort(value, options.queryHost, options.queryPort)) return "--query takes HOST:PORT, not '" + value + "'";
        } else if (option == "--behind-tls") {
            options.behindTls = true;
        } else if (option == "--idle-minutes") {
            const auto minutes = number(value, 1, 24 * 60);
            if (!minutes) return "--idle-minutes takes 1 to 1440";
            options.idleMinutes = *minutes;
        } else if (option == "--max-sessions") {
            const auto sessions = number(value, 1, 256);
            if (!sessions) return "--max-sessions takes 1 to 256";
            options.maxSessions = *sessions;
        } else {
            return "unknown option '" + std::string(option) + "'";
        }
    }
    return std::nullopt;
}

int run(int count, char** arguments) {
    for (int index = 1; index < count; ++index) {
        const std::string_view argument = arguments[index];
        if (argument == "-h" || argument == "--help") {
            std::cout << kUsage;
            return kExitDone;
        }
    }
    Options options;
    if (const auto problem = parse(count, arguments, options)) {
        std::cerr << "varnweb: " << *problem << "\nTry 'varnweb --help'.\n";
        return kExitUsage;
    }
    const std::uint32_t serverAddress = varn::platform::lookupHostAddress(options.adminHost.c_str());
    if (serverAddress == 0) {
        std::cerr << "varnweb: cannot resolve the server's host '" << options.adminHost << "'\n";
        return kExitFailed;
    }

    ConsoleSettings settings;
    settings.serverAddress = serverAddress;
    settings.serverPort = varn::PeerAddress::fromHostOrder(0, options.adminPort).port;
    settings.serverText = options.adminHost + ":" + std::to_string(options.adminPort);
    if (options.queryPort != 0) {
        settings.queryAddress = varn::platform::lookupHostAddress(options.queryHost.c_str());
        if (settings.queryAddress == 0) {
            std::cerr << "varnweb: cannot resolve the query host '" << options.queryHost << "'\n";
            return kExitFailed;
        }
        settings.queryPort = varn::PeerAddress::fromHostOrder(0, options.queryPort).port;
    }
    settings.behindTls = options.behindTls;
    settings.idleMilliseconds = options.idleMinutes * 60 * 1000;
    settings.maxSessions = static_cast<std::size_t>(options.maxSessions);

    varn::platform::StopSignals::install(true);
    const varn::platform::Clock& clock = varn::platform::SystemClock::instance();
    varn::MainLoop loop(clock);
    loop.addSocket(varn::platform::StopSignals::waitHandle(), varn::Interest::Read,
                   [](varn::Readiness, varn::LoopTasks::Milliseconds) { varn::platform::StopSignals::drain(); });

    std::string reason;
    auto listener = varn::openHttpListener(options.listenAddress, options.listenPort, reason);
    if (!listener) {
        std::cerr << "varnweb: cannot listen on " << options.listenAddress << ":" << options.listenPort << ": " << reason << "\n";
        return kExitFailed;
    }
    // Room for every session's live views and as many page requests again; a client too slow to send
    // its request or take its reply is cut off at its deadline, a live view it does not read at its
    // backlog.
    const std::size_t maxStreams = settings.maxSessions * WebConsole::kMaxStreamsPerSession;
    varn::HttpLimits limits;
    limits.maxConnections = maxStreams * 2;
    limits.maxHeadBytes = 8192;
    limits.maxBodyBytes = 4096;
    limits.replyTimeoutMilliseconds = settings.answerMilliseconds * 3 + 2000;
    limits.maxStreamBacklogBytes = 256 * 1024;
    WebConsole console(loop, clock, settings, maxStreams);
    varn::HttpServer http(loop, std::move(listener), limits,
                          [&console](const varn::HttpRequest& request) { return console.handle(request); });
    console.attach(http);
    std::fprintf(stderr, "varnweb: serving http://%s:%u/ for the server's admin port %s\n", options.listenAddress.c_str(),
                 static_cast<unsigned>(http.localPort()), settings.serverText.c_str());

    while (!varn::platform::StopSignals::stopRequested()) {
        loop.wait();
        loop.runDueTimers();
        loop.runReadySockets();
    }
    console.closeAll();
    std::fprintf(stderr, "varnweb: stopped; every session logged out\n");
    return kExitDone;
}

}  // namespace
}  // namespace varnweb

int main(int count, char** arguments) { return varnweb::run(count, arguments); }
