// varnadmin: the operators' command-line client for the admin port of Varn Server.

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "adminclient/AdminConnection.h"
#include "adminclient/GameEvents.h"
#include "Profiles.h"
#include "StatusQuery.h"
#include "protocol/Packet.h"
#include "protocol/AdminProtocol.h"
#include "protocol/BanEntryText.h"
#include "protocol/BrowserProtocol.h"
#include "protocol/GameProtocol.h"

namespace varnadmin {
namespace {

namespace admin = varn::admin;
using Request = varn::PacketWriter<varn::kMaxDatagramSize>;

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kDefaultHost = "127.0.0.1";
// The default admin name when the user name cannot be had.
constexpr const char* kFallbackName = "varnadmin";
constexpr Milliseconds kDefaultTimeout{3000};
// A connected admin is pinged every second; this long without a datagram means trouble.
constexpr Milliseconds kSilenceWarning{20000};
// Room for the NUL in the 129 bytes the server reads of a say datagram.
constexpr std::size_t kMaxSayText = admin::kMaxSayDatagram - 3;
constexpr std::uint8_t kSayChatKind = 0;
// Two answered attempts normally stop the server; a too-late answer re-arms and costs one more.
constexpr int kMaxShutdownAttempts = 3;
// The game port status assumes when neither the profile nor --game-port names one (the example
// configuration's ServerPort); the query port is the game port plus 123.
constexpr std::uint16_t kDefaultGamePort = 4000;
// How many numbered names (ops-2 ... ops-9) a default admin name tries when the server has it taken.
constexpr int kNameNumbersTried = 8;
// The kinds of lines watch prints, for --only.
const std::set<std::string, std::less<>> kWatchKinds = {"joins", "leaves", "kicks", "bans",  "chat",
                                                         "kills", "scores", "pings", "motd"};

std::string profileFileText() {
    const auto path = profileFilePath();
    return path ? *path : std::string("$XDG_CONFIG_HOME/varnadmin/servers.conf");
}

// The defaults and limits in the text come from the protocol header.
std::string usageText() {
    return std::string(
    "Usage: varnadmin [OPTION]... COMMAND [ARGUMENT]... [OPTION]...\n"
    "Logs in on the admin port of a Varn Server, runs one command and logs out.\n"
    "\n"
    "Options (before or after the command; after '--' every word is the command's):\n"
    "  --host=HOST            the server's host name or IPv4 address (default 127.0.0.1)\n"
    "  --port=PORT            the admin port, AdminPort of the server (default ") +
           std::to_string(admin::kDefaultPort) + ")\n" +
           "  --name=NAME            the admin name, at most " + std::to_string(admin::kMaxNameLength) +
           " bytes, no '" + static_cast<char>(varn::kNameEnd) + "' (default: your user name; when the\n" +
    "                         server has that taken, with a number: ops-2)\n" +
    "  --password-file=FILE   read the admin password from the first line of FILE; without it the\n"
    "                         password is asked for on the terminal (not echoed), or read as one\n"
    "                         line from standard input when that is not a terminal\n"
    "  --timeout=SECONDS      how long to wait for each answer (default 3)\n"
    "  -s, --server=NAME      the server NAME of the profile file (" + profileFileText() + "),\n"
    "                         which gives its host, ports, password file and admin name; several\n"
    "                         by repeating -s or with commas (-s team,practice), every one with\n"
    "                         -s all: the command runs on each in turn (not watch)\n"
    "  --game-port=PORT       status only: the game port, ServerPort (default 4000); the status\n"
    "                         query goes to it plus 123\n"
    "  --query-port=PORT      status only: the query port itself\n"
    "  --duration=SECONDS     watch only: stop after this long (default: until Ctrl+C)\n"
    "  --only=KINDS           watch only: print only these kinds of lines, by commas: joins,\n"
    "                         leaves, kicks, bans, chat, kills, scores, pings, motd\n"
    "  --no-pings             watch only: leave out the ping lines\n"
    "  -h, --help             show this text\n"
    "\n"
    "Commands:\n"
    "  status           the server's name, version, players and maximum, from its status query\n"
    "                   (no password needed), else the players from the admin port\n"
    "  players          list the players (id, score, name)\n"
    "  say TEXT...      send a chat message to every player and admin\n"
    "  kick ID          remove player ID\n"
    "  ban ID [--for TIME] [--reason TEXT]\n"
    "                   remove player ID and ban his IPv4 address, for ever or for TIME\n"
    "  ip ID            print player ID's IPv4 address\n"
    "  bans [--long]    print the ban list, one entry a line; --long adds each entry's time\n"
    "                   limit, who banned it, when and why, as the server's ban file holds them\n"
    "  addban ENTRY [--for TIME] [--reason TEXT] [--force]\n"
    "                   add a ban entry: an IPv4 address (10.1.2.3), a range where an octet 0\n"
    "                   matches any value (10.0.0.0), or a CIDR range (10.0.0.0/8); an entry that\n"
    "                   covers the address varnadmin talks to the server from is refused unless\n"
    "                   --force is given\n"
    "  unban IP         remove the ban entry equal to IP\n"
    "  password [NEW]   change the players' server password until the server restarts\n"
    "                   (without NEW it is asked for like the admin password)\n"
    "  motd             make the server reload motd.txt\n"
    "  scripts reload   make the server reload its scripts (when it has ScriptFiles)\n"
    "  shutdown         shut the server down (needs AdminAllowShutdown 1)\n"
    "  watch            print joins, chat, kills, scores, pings and leaves as they happen; a\n"
    "                   player an admin removed shows as kicked or banned (by the ban list)\n"
    "\n"
    "TIME is a whole number with a unit: 45s, 30m, 2h, 7d or 2w (at most 3650d). TEXT is the reason\n"
    "the next admin reads, at most " + std::to_string(admin::kMaxBanReason) + " bytes.\n"
    "\n"
    "Exit status: 0 done, 1 refused or no answer, 2 wrong usage.\n";
}

// The user's name, as the ban file records who banned. A run at the same time as another (a watch and
// a kick, say) finds it taken and numbers it (numberedName).
std::string defaultName() {
    std::string user;
    if (const passwd* entry = ::getpwuid(::geteuid()); entry != nullptr && entry->pw_name != nullptr) {
        for (const char* c = entry->pw_name; *c != '\0'; ++c) {
            const bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
                               *c == '_' || *c == '.' || *c == '-';
            if (plain) user.push_back(*c);
        }
    }
    if (user.empty()) user = kFallbackName;
    return user.substr(0, admin::kMaxNameLength);
}

// The name with "-NUMBER", cut so that it fits the server's limit.
std::string numberedName(const std::string& name, int number) {
    const std::string suffix = "-" + std::to_string(number);
    return name.substr(0, admin::kMaxNameLength - suffix.size()) + suffix;
}

struct Options {
    std::string host = kDefaultHost;
    std::uint16_t port = admin::kDefaultPort;
    std::string name = defaultName();
    std::optional<std::string> passwordFile;
    Milliseconds timeout = kDefaultTimeout;
    std::optional<Milliseconds> duration;
    std::string command;
    std::vector<std::string> arguments;
    // ban and addban: the time limit as given and in seconds (none: for ever), and the reason.
    std::optional<std::string> banTime;
    std::uint32_t banSeconds = 0;
    std::optional<std::string> banReason;
    // addban: add an entry even when it covers this computer's own address.
    bool force = false;
    // bans: the lines with their details.
    bool longList = false;
    // The general options the command line gave (a profile fills in only the others).
    std::set<std::string, std::less<>> given;
    // -s: the profile servers to run the command on; label: the one this run is for.
    std::vector<std::string> servers;
    std::string label;
    // status: where the status query goes.
    std::uint16_t gamePort = kDefaultGamePort;
    std::optional<std::uint16_t> queryPort;
    // watch: the kinds of lines to print (none: every kind).
    std::optional<std::set<std::string, std::less<>>> only;
};

void fail(const std::string& message) { std::cerr << "varnadmin: " << message << '\n'; }

std::optional<long> wholeNumber(std::string_view text) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<Milliseconds> seconds(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0 || value > 86400.0 * 365) {
        return std::nullopt;
    }
    return Milliseconds(static_cast<long>(value * 1000));
}

std::string secondsText(Milliseconds time) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(time.count()) / 1000);
    return text;
}

// "30m", "2h", "7d": a whole number above 0 with a unit of seconds, minutes, hours, days or weeks.
std::optional<std::uint32_t> durationSeconds(std::string_view text) {
    if (text.size() < 2 || text[0] < '1' || text[0] > '9') return std::nullopt;
    const std::map<char, long> units = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}, {'w', 7 * 86400}};
    const auto unit = units.find(text.back());
    if (unit == units.end()) return std::nullopt;
    const auto count = wholeNumber(text.substr(0, text.size() - 1));
    if (!count || *count > static_cast<long>(admin::kMaxBanSeconds) / unit->second) return std::nullopt;
    return static_cast<std::uint32_t>(*count * unit->second);
}

// The options that follow the commands ban, addban and bans; the rest stay as the arguments.
std::optional<std::string> takeCommandOptions(Options& options) {
    const bool banning = options.command == "ban" || options.command == "addban";
    std::vector<std::string> rest;
    for (std::size_t index = 0; index < options.arguments.size(); ++index) {
        const std::string& argument = options.arguments[index];
        if (argument.substr(0, 2) != "--") {
            rest.push_back(argument);
            continue;
        }
        const std::size_t equals = argument.find('=');
        const std::string option = argument.substr(0, equals);
        const bool takesValue = banning && (option == "--for" || option == "--reason");
        if (!takesValue) {
            if (equals == std::string::npos && options.command == "addban" && option == "--force") {
                options.force = true;
            } else if (equals == std::string::npos && options.command == "bans" && option == "--long") {
                options.longList = true;
            } else {
                return "unknown option for " + options.command + ": " + argument;
            }
            continue;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (index + 1 < options.arguments.size()) {
            value = options.arguments[++index];
        } else {
            return "option " + option + " needs a value";
        }
        if (option == "--for") {
            const auto seconds = durationSeconds(value);
            if (!seconds) return "--for takes a time such as 30m, 2h or 7d (at most 3650d), not '" + value + "'";
            options.banTime = value;
            options.banSeconds = *seconds;
        } else {
            if (value.size() > admin::kMaxBanReason) {
                return "the reason is longer than " + std::to_string(admin::kMaxBanReason) + " bytes";
            }
            options.banReason = value;
        }
    }
    options.arguments = rest;
    return std::nullopt;
}

std::string entryFormsText() {
    return "an IPv4 address (10.1.2.3), a range where an octet 0 matches any value (10.0.0.0) or a CIDR "
           "range (10.0.0.0/8)";
}

// The number of arguments each command takes: exactly, or at least with "say".
const std::map<std::string, int, std::less<>> kArgumentCounts = {
    {"players", 0}, {"say", 1},   {"kick", 1},      {"ban", 1},  {"ip", 1},       {"bans", 0},
    {"addban", 1},  {"unban", 1}, {"password", -1}, {"motd", 0}, {"shutdown", 0}, {"watch", 0},
    {"scripts", 1}, {"status", 0},
};

// "a,b,c" as its words; empty words are left out.
std::vector<std::string> commaWords(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream stream(text);
    for (std::string word; std::getline(stream, word, ',');) {
        if (!word.empty()) words.push_back(word);
    }
    return words;
}

std::optional<std::uint16_t> portNumber(const std::string& text) {
    const auto port = wholeNumber(text);
    if (!port || *port < 1 || *port > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(*port);
}

bool setOption(Options& options, std::string_view option, const std::string& value) {
    options.given.emplace(option);
    if (option == "--server" || option == "-s") {
        const std::vector<std::string> names = commaWords(value);
        options.servers.insert(options.servers.end(), names.begin(), names.end());
        return !names.empty();
    }
    if (option == "--game-port" || option == "--query-port") {
        const auto port = portNumber(value);
        if (!port) return false;
        (option == "--game-port" ? options.gamePort : options.queryPort.emplace()) = *port;
        return true;
    }
    if (option == "--only") {
        options.only.emplace();
        for (const std::string& kind : commaWords(value)) {
            if (!kWatchKinds.contains(kind)) return false;
            options.only->insert(kind);
        }
        return !options.only->empty();
    }
    if (option == "--host") {
        options.host = value;
    } else if (option == "--port") {
        const auto port = wholeNumber(value);
        if (!port || *port < 1 || *port > 65535) return false;
        options.port = static_cast<std::uint16_t>(*port);
    } else if (option == "--name") {
        options.name = value;
    } else if (option == "--password-file") {
        options.passwordFile = value;
    } else if (option == "--timeout") {
        options.timeout = seconds(value).value_or(Milliseconds(0));
        if (options.timeout.count() <= 0) return false;
    } else if (option == "--duration") {
        options.duration = seconds(value);
        if (!options.duration) return false;
    } else {
        return false;
    }
    return true;
}

bool isHelpOption(std::string_view argument) { return argument == "-h" || argument == "--help"; }

bool isGeneralOption(std::string_view argument) {
    const std::string_view name = argument.substr(0, argument.find('='));
    return name == "--host" || name == "--port" || name == "--name" || name == "--password-file" ||
           name == "--timeout" || name == "--duration" || name == "--server" || name == "-s" ||
           name == "--game-port" || name == "--query-port" || name == "--only";
}

// Sets the general option at arguments[index], taking its value from the next argument when it has
// none after '='.
bool takeGeneralOption(int argumentCount, char** arguments, int& index, Options& options, std::string& error) {
    const std::string_view argument = arguments[index];
    const std::size_t equals = argument.find('=');
    const std::string_view option = argument.substr(0, equals);
    std::string value;
    if (equals != std::string_view::npos) {
        value = argument.substr(equals + 1);
    } else if (index + 1 < argumentCount) {
        value = arguments[++index];
    } else {
        error = "option " + std::string(option) + " needs a value";
        return false;
    }
    if (!setOption(options, option, value)) {
        error = "bad value for " + std::string(option) + ": '" + value + "'";
        return false;
    }
    return true;
}

// The general options may come before or after the command. The first other word is the command; the
// words after it, the command's own options among them (ban --for, bans --long), are its arguments,
// and so is everything after "--".
bool parseArguments(int argumentCount, char** arguments, Options& options, std::string& error) {
    bool optionsEnded = false;
    for (int index = 1; index < argumentCount; ++index) {
        const std::string_view argument = arguments[index];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && argument == "--no-pings") {
            options.given.emplace(argument);
        } else if (!optionsEnded && isGeneralOption(argument)) {
            if (!takeGeneralOption(argumentCount, arguments, index, options, error)) return false;
        } else if (!options.command.empty()) {
            options.arguments.emplace_back(argument);
        } else if (!optionsEnded && argument.substr(0, 1) == "-") {
            error = "unknown option or bad value: " + std::string(argument);
            return false;
        } else {
            options.command = argument;
        }
    }
    if (options.command.empty()) {
        error = "no command given";
        return false;
    }
    return true;
}

std::optional<std::string> checkCommand(Options& options) {
    const auto found = kArgumentCounts.find(options.command);
    if (found == kArgumentCounts.end()) return "unknown command '" + options.command + "'";
    if (options.command == "ban" || options.command == "addban" || options.command == "bans") {
        if (auto problem = takeCommandOptions(options)) return problem;
    }
    const auto given = static_cast<int>(options.arguments.size());
    const int wanted = found->second;
    if (options.command == "say") {
        if (given < 1) return std::string("say needs a text");
        std::string text = options.arguments[0];
        for (std::size_t index = 1; index < options.arguments.size(); ++index) {
            text += " " + options.arguments[index];
        }
        if (text.size() > kMaxSayText) {
            return "the text is longer than " + std::to_string(kMaxSayText) + " bytes";
        }
        options.arguments = {text};
    } else if (wanted >= 0 && given != wanted) {
        return options.command + (wanted == 0 ? " takes no argument" : " takes one argument");
    } else if (wanted < 0 && given > 1) {
        return options.command + " takes at most one argument";
    }
    if (options.command == "kick" || options.command == "ban" || options.command == "ip") {
        const auto id = wholeNumber(options.arguments[0]);
        if (!id || *id < 0 || *id > 255) return "ID must be a player id from 0 to 255";
    }
    if (options.command == "unban" && options.arguments[0].size() > admin::kMaxUnbanText) {
        return "the server compares at most " + std::to_string(admin::kMaxUnbanText) + " characters";
    }
    if (options.command == "addban" && !varn::banentry::readEntryForm(options.arguments[0])) {
        return "'" + options.arguments[0] + "' is not a ban entry; write " + entryFormsText();
    }
    if (options.command == "password" && given == 1 &&
        (options.arguments[0].empty() || options.arguments[0].size() > admin::kMaxServerPassword)) {
        return "the server password must be 1 to " + std::to_string(admin::kMaxServerPassword) + " bytes";
    }
    if ((options.only || options.given.contains("--no-pings")) && options.command != "watch") {
        return "--only and --no-pings are for watch";
    }
    if (options.name.size() > admin::kMaxNameLength ||
        options.name.find(static_cast<char>(varn::kNameEnd)) != std::string::npos) {
        return "the admin name must be at most " + std::to_string(admin::kMaxNameLength) +
               " bytes without '" + static_cast<char>(varn::kNameEnd) + "'";
    }
    return std::nullopt;
}

// A secret from the terminal without echo, or one line from standard input when it is no terminal.
std::optional<std::string> readSecret(const char* prompt) {
    std::string line;
    if (::isatty(STDIN_FILENO) == 1) {
        std::cerr << prompt << std::flush;
        termios saved{};
        const bool changed = ::tcgetattr(STDIN_FILENO, &saved) == 0;
        if (changed) {
            termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        }
        const bool got = static_cast<bool>(std::getline(std::cin, line));
        if (changed) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << '\n';
        if (!got) return std::nullopt;
    } else if (!std::getline(std::cin, line)) {
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// The first line of a regular file, or nothing when it is empty, cannot be read or is no regular
// file: the open does not wait for a FIFO's writer, and a device or folder is refused.
std::optional<std::string> firstLineOfRegularFile(const std::string& path) {
    constexpr std::size_t kMaxLine = 64 * 1024;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    std::optional<std::string> line;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        std::string text;
        char chunk[4096];
        for (;;) {
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                text.clear();
                break;
            }
            text.append(chunk, static_cast<std::size_t>(got));
            if (got == 0 || text.find('\n') != std::string::npos || text.size() >= kMaxLine) break;
        }
        if (!text.empty()) line = text.substr(0, text.find('\n'));
    }
    ::close(fd);
    return line;
}

std::optional<std::string> adminPassword(const Options& options) {
    if (!options.passwordFile) {
        auto password = readSecret("Admin password: ");
        if (!password) fail("no admin password: give --password-file or type it at the prompt");
        return password;
    }
    auto line = firstLineOfRegularFile(*options.passwordFile);
    if (!line) {
        fail("cannot read the admin password from '" + *options.passwordFile + "'");
        return std::nullopt;
    }
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return line;
}

std::string refusalText(int reason, const Options& options) {
    switch (reason) {
        case admin::kRefusedNameInUse: return "an admin named '" + options.name + "' is already logged in";
        case admin::kRefusedBanned:
            return "this computer's address is on the server's ban list; remove the entry that covers it "
                   "from the server's ban file (BannedFile) and make the server read it again (SIGHUP, or a "
                   "restart), or run 'varnadmin unban ENTRY' from a computer that is not banned";
        case admin::kRefusedAlreadyAdmin: return "this address and port is already logged in as an admin";
        case admin::kRefusedWrongPassword: return "wrong admin password";
        case admin::kRefusedWrongVersion:
            return "the server speaks another admin protocol version (this client speaks " +
                   std::to_string(admin::kProtocolVersion) + ")";
        default: return "reason " + std::to_string(reason);
    }
}

Bytes bytesOf(const Request& request) { return Bytes(request.data(), request.data() + request.size()); }

template <std::size_t Size>
Bytes bytesOf(const std::array<std::uint8_t, Size>& datagram) {
    return Bytes(datagram.begin(), datagram.end());
}

Bytes requestWithText(std::uint8_t id, std::string_view text) {
    Request request;
    admin::encodeTextRequest(request, id, text);
    return bytesOf(request);
}

// Whether the answer to a request says it was done.
bool answeredDone(const Bytes& reply, std::uint8_t requestId) {
    return admin::decodeAnswer(varn::PacketReader(reply.data(), reply.size()), requestId) == admin::kDone;
}

// What one command needs: the session, the login's outcome and the options.
struct Session {
    AdminConnection& connection;
    const LoginResult& login;
    const Options& options;

    std::optional<Bytes> ask(const Bytes& request, const Bytes& replyPrefix) const {
        connection.send(request);
        auto reply = connection.awaitReply(replyPrefix, options.timeout);
        if (!reply && !stopRequested()) {
            fail("no answer from the server within " + secondsText(options.timeout) + " s");
        }
        return reply;
    }
    std::string playerText(int id) const {
        for (const Player& player : login.players) {
            if (player.id == id) return std::to_string(id) + " '" + player.name + "'";
        }
        return std::to_string(id);
    }
    int argumentId() const { return static_cast<int>(*wholeNumber(options.arguments[0])); }
};

int listPlayers(const Session& session) {
    if (session.login.players.empty()) std::cerr << "no players are connected\n";
    // The heading goes where the messages go, so that the list itself stays easy to read by a script.
    if (!session.login.players.empty()) std::fprintf(stderr, "%3s %6s  %s\n", "ID", "SCORE", "NAME");
    for (const Player& player : session.login.players) {
        std::printf("%3d %6d  %s\n", player.id, player.score, player.name.c_str());
    }
    return kExitDone;
}

int say(const Session& session) {
    const std::string& text = session.options.arguments[0];
    Request request;
    admin::encodeSay(request, kSayChatKind, text);
    // The server relays the message to every admin, the sender included.
    const auto adminId = static_cast<std::uint8_t>(session.login.adminId);
    if (!session.ask(bytesOf(request), {varn::command::kChat, adminId, kSayChatKind})) return kExitFailed;
    std::printf("said: %s\n", text.c_str());
    return kExitDone;
}

// What a refusal of a timed ban or entry means, by its reason code.
std::string banRefusalText(std::uint8_t reason, const Options& options) {
    switch (reason) {
        case admin::kBanRefusedMalformed: return "the server could not read the request";
        case admin::kBanRefusedDuration: return "the server refused the time limit (at most 3650d)";
        case admin::kBanRefusedEntry:
            return "the server does not take '" + options.arguments[0] + "' as a ban entry; write " + entryFormsText();
        case admin::kBanRefusedReasonTooLong:
            return "the reason is longer than the server's " + std::to_string(admin::kMaxBanReason) + " bytes";
        case admin::kBanRefusedNoPlayer:
            return "no player with ID " + options.arguments[0] + " (the server banned nobody)";
        default: return "the server refused the ban (reason " + std::to_string(reason) + ")";
    }
}

// The time limit and reason of a ban as a confirmation shows them.
std::string banTermsText(const Options& options) {
    std::string text;
    if (options.banTime) text += " for " + *options.banTime;
    if (options.banReason) text += " (" + *options.banReason + ")";
    return text;
}

bool hasBanTerms(const Options& options) { return options.banTime || options.banReason; }

// The answer to a timed ban or entry: done, or refused with its reason; a server without these
// commands does not answer at all.
int judgeBanAnswer(const Session& session, std::uint8_t requestId, const std::string& done) {
    const auto reply = session.connection.awaitReply({requestId}, session.options.timeout);
    if (!reply) {
        if (!stopRequested()) {
            fail("no answer from the server within " + secondsText(session.options.timeout) +
                 " s (a server without ban time limits ignores --for, --reason and CIDR ranges)");
        }
        return kExitFailed;
    }
    if (answeredDone(*reply, requestId)) {
        std::printf("%s%s\n", done.c_str(), banTermsText(session.options).c_str());
        return kExitDone;
    }
    const varn::PacketReader refusal(reply->data(), reply->size());
    fail(banRefusalText(admin::decodeBanRefusal(refusal), session.options));
    return kExitFailed;
}

int banFor(const Session& session) {
    const int id = session.argumentId();
    Request request;
    admin::encodeBanFor(request, static_cast<std::uint8_t>(id), session.options.banSeconds,
                        session.options.banReason.value_or(""));
    session.connection.send(bytesOf(request));
    return judgeBanAnswer(session, admin::kBanFor, "banned player " + session.playerText(id));
}

int removePlayer(const Session& session, bool ban) {
    if (ban && hasBanTerms(session.options)) return banFor(session);
    const int id = session.argumentId();
    const auto idByte = static_cast<std::uint8_t>(id);
    session.connection.send(bytesOf(admin::encodePlayerRequest(ban ? admin::kBan : admin::kKick, idByte)));
    const Bytes removed = bytesOf(varn::encodePlayerLeft(varn::leftReason::kKickedOrBanned, idByte));
    if (!session.connection.awaitReply(removed, session.options.timeout)) {
        if (!stopRequested()) {
            fail("no player with ID " + std::to_string(id) + " (the server removed nobody)");
        }
        return kExitFailed;
    }
    std::printf("%s player %s\n", ban ? "banned" : "kicked", session.playerText(id).c_str());
    return kExitDone;
}

int playerAddress(const Session& session) {
    const int id = session.argumentId();
    const auto idByte = static_cast<std::uint8_t>(id);
    session.connection.send(bytesOf(admin::encodePlayerRequest(admin::kPlayerAddress, idByte)));
    const auto reply =
        session.connection.awaitReply({admin::kPlayerAddress, idByte}, session.options.timeout);
    if (!reply) {
        if (!stopRequested()) {
            fail("no player with ID " + std::to_string(id) + " (the server did not answer)");
        }
        return kExitFailed;
    }
    std::printf("%s\n", std::string(reply->begin() + 2, reply->end()).c_str());
    return kExitDone;
}

// The ban list's lines with their details, page after page, each page asked for from the first entry
// not yet seen; nothing when a page is not answered (a server older than the detailed list).
std::optional<std::vector<std::string>> fetchBanLines(const Session& session) {
    std::vector<std::string> lines;
    std::uint32_t first = 0;
    std::uint32_t total = 0;
    do {
        Request request;
        request.byte(admin::kListBanLines).uint32(first);
        const Bytes prefix(request.data(), request.data() + request.size());
        session.connection.send(prefix);
        const auto reply = session.connection.awaitReply(prefix, session.options.timeout);
        if (!reply) return std::nullopt;
        const varn::PacketReader reader(reply->data(), reply->size());
        total = reader.uint32At(5).value_or(0);
        const std::string page(reply->begin() + std::min(reply->size(), admin::kBanLinesHeader), reply->end());
        if (page.empty()) break;
        std::size_t start = 0;
        for (std::size_t end = page.find(admin::kBanLineEnd); end != std::string::npos;
             end = page.find(admin::kBanLineEnd, start)) {
            lines.push_back(page.substr(start, end - start));
            start = end + 1;
            ++first;
        }
    } while (first < total);
    return lines;
}

int listBanLines(const Session& session) {
    const auto lines = fetchBanLines(session);
    if (!lines) {
        if (!stopRequested()) {
            fail("no answer from the server within " + secondsText(session.options.timeout) + " s");
        }
        return kExitFailed;
    }
    for (const std::string& line : *lines) std::printf("%s%c", line.c_str(), admin::kBanLineEnd);
    if (lines->empty()) std::cerr << "the ban list is empty\n";
    return kExitDone;
}

int listBans(const Session& session) {
    if (session.options.longList) return listBanLines(session);
    const auto reply = session.ask({admin::kListBans}, {admin::kListBans});
    if (!reply) return kExitFailed;
    if (reply->size() == 1) std::cerr << "the ban list is empty\n";
    std::string entry;
    for (std::size_t index = 1; index < reply->size(); ++index) {
        const char c = static_cast<char>((*reply)[index]);
        if (c != admin::kBanListSeparator) {
            entry.push_back(c);
            continue;
        }
        std::printf("%s\n", entry.c_str());
        entry.clear();
    }
    // The server sends whole entries only, up to its 1024-byte reply.
    if (reply->size() > admin::kBanListReplySize - 16) {
        std::cerr << "varnadmin: the reply is nearly full; the server may have left entries out\n";
    }
    return kExitDone;
}

int addBan(const Session& session) {
    const Options& options = session.options;
    const std::string& text = options.arguments[0];
    const bool cidr = varn::banentry::readEntryForm(text)->prefixLength != varn::banentry::kWholeOctets;
    if (cidr || hasBanTerms(options)) {
        Request request;
        admin::encodeAddBanFor(request, options.banSeconds, text, options.banReason.value_or(""));
        session.connection.send(bytesOf(request));
        return judgeBanAnswer(session, admin::kAddBanFor, "added ban '" + text + "'");
    }
    // A plain entry goes as it always did, so that any server takes it.
    const auto reply = session.ask(requestWithText(admin::kAddBan, text), {admin::kAddBan});
    if (!reply) return kExitFailed;
    if (!answeredDone(*reply, admin::kAddBan)) {
        fail("the server refused the ban '" + text + "'");
        return kExitFailed;
    }
    std::printf("added ban '%s'\n", text.c_str());
    return kExitDone;
}

// An entry that covers the address the server sees this computer come from would shut its admin
// out at the next login; it takes --force.
std::optional<std::string> shutsOutThisComputer(const Options& options, const AdminConnection& connection) {
    if (options.command != "addban" || options.force) return std::nullopt;
    const auto form = varn::banentry::readEntryForm(options.arguments[0]);
    const auto own = connection.localAddress();
    if (!form || !own || !form->covers(*own)) return std::nullopt;
    const std::string ownText = std::to_string(*own >> 24) + "." + std::to_string((*own >> 16) & 0xFFu) + "." +
                                std::to_string((*own >> 8) & 0xFFu) + "." + std::to_string(*own & 0xFFu);
    return "the entry '" + options.arguments[0] + "' covers " + ownText +
           ", the address this computer talks to the server from, and would shut you out of the admin "
           "port; give --force to add it anyway";
}

// "A", "A or B", "A, B or C".
std::string alternativesText(const std::vector<std::string>& texts) {
    std::string text;
    for (std::size_t index = 0; index < texts.size(); ++index) {
        if (index > 0) text += index + 1 == texts.size() ? " or " : ", ";
        text += texts[index];
    }
    return text;
}

// Why unban found nothing to remove, with the entries of the list that ban what was typed: their own
// text is what unban takes.
std::string unbanRefusalText(const Session& session, const std::string& typed) {
    const std::string refusal = "no ban entry equals '" + typed + "'";
    const std::string generalHint = " (a range is removed only by its own text, such as 10.0.0.0)";
    const auto typedForm = varn::banentry::readEntryForm(typed);
    if (!typedForm) return refusal + generalHint;
    const auto lines = fetchBanLines(session);
    if (!lines) return refusal + generalHint;
    std::vector<std::string> covering;
    for (const std::string& line : *lines) {
        const std::string entry = line.substr(0, line.find(' '));
        const auto form = varn::banentry::readEntryForm(entry);
        // What was typed, read as the address it spells (its 0 octets as 0), is what the entry must ban.
        if (form && form->covers(typedForm->address)) covering.push_back(entry);
    }
    if (covering.empty()) return refusal + ", and no entry of the ban list covers it";
    return refusal + " (a range is removed only by its own text, such as " + alternativesText(covering) + ")";
}

int unban(const Session& session) {
    const std::string& text = session.options.arguments[0];
    const auto reply = session.ask(requestWithText(admin::kUnban, text), {admin::kUnban});
    if (!reply) return kExitFailed;
    if (!answeredDone(*reply, admin::kUnban)) {
        fail(unbanRefusalText(session, text));
        return kExitFailed;
    }
    std::printf("removed ban '%s'\n", text.c_str());
    return kExitDone;
}

int setServerPassword(const Session& session) {
    std::string password;
    if (!session.options.arguments.empty()) {
        password = session.options.arguments[0];
    } else {
        const auto typed = readSecret("New server password: ");
        if (!typed) {
            fail("no new server password given");
            return kExitUsage;
        }
        password = *typed;
    }
    if (password.empty() || password.size() > admin::kMaxServerPassword) {
        fail("the server password must be 1 to " + std::to_string(admin::kMaxServerPassword) + " bytes");
        return kExitUsage;
    }
    const auto reply =
        session.ask(requestWithText(admin::kSetServerPassword, password), {admin::kSetServerPassword});
    if (!reply) return kExitFailed;
    if (!answeredDone(*reply, admin::kSetServerPassword)) {
        fail("the server did not change its password (its configuration has no ServerPassword)");
        return kExitFailed;
    }
    std::printf("server password changed until the server restarts\n");
    return kExitDone;
}

int reloadScripts(const Session& session) {
    if (session.options.arguments[0] != "reload") {
        fail("scripts takes one word: reload");
        return kExitFailed;
    }
    const auto reply = session.ask({admin::kReloadScripts}, {admin::kReloadScripts});
    if (!reply) return kExitFailed;
    if (!answeredDone(*reply, admin::kReloadScripts)) {
        fail("a script could not be loaded; the running scripts stay (see the server's log)");
        return kExitFailed;
    }
    std::printf("scripts reloaded\n");
    return kExitDone;
}

int reloadMessageOfTheDay(const Session& session) {
    const auto reply = session.ask({admin::kReloadMotd}, {admin::kReloadMotd});
    if (!reply) return kExitFailed;
    if (!answeredDone(*reply, admin::kReloadMotd)) {
        fail("the server could not open its motd.txt; the old message stays");
        return kExitFailed;
    }
    std::printf("message of the day reloaded\n");
    return kExitDone;
}

int shutDown(const Session& session) {
    for (int attempt = 0; attempt < kMaxShutdownAttempts; ++attempt) {
        const auto reply = session.ask({admin::kShutdown}, {admin::kShutdown});
        if (!reply) return kExitFailed;
        const varn::PacketReader answerReader(reply->data(), reply->size());
        const auto answer = admin::decodeAnswer(answerReader, admin::kShutdown);
        if (answer == admin::kShutdownNow) {
            std::printf("the server is shutting down\n");
            return kExitDone;
        }
        if (answer == admin::kShutdownDisabled) {
            fail("remote shut-down is disabled on the server (AdminAllowShutdown is not 1)");
            return kExitFailed;
        }
        // Armed, or re-armed after a late second attempt: the next attempt completes it.
    }
    fail("the server did not confirm the shut-down");
    return kExitFailed;
}

// Watch asks the server a few things of its own while datagrams keep coming: those that arrive
// meanwhile are held and printed afterwards, in order.
std::optional<Bytes> askWhileWatching(const Session& session, const Bytes& request, const Bytes& prefix,
                                      std::deque<Datagram>& held) {
    session.connection.send(request);
    using SteadyClock = std::chrono::steady_clock;
    const auto deadline = SteadyClock::now() + session.options.timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<Milliseconds>(deadline - SteadyClock::now());
        auto datagram = session.connection.next(std::max(left, Milliseconds(0)));
        if (!datagram) return std::nullopt;
        if (datagram->fromAdminPort && datagram->bytes.size() >= prefix.size() &&
            std::equal(prefix.begin(), prefix.end(), datagram->bytes.begin())) {
            return datagram->bytes;
        }
        held.push_back(std::move(*datagram));
    }
}

// Whether an entry of the server's ban list covers the address; nothing when the list does not tell
// (no answer, or a list too long for one reply that does not show it).
std::optional<bool> addressBanned(const Session& session, const std::string& address, std::deque<Datagram>& held) {
    const auto own = varn::banentry::readEntryForm(address);
    if (!own) return std::nullopt;
    const auto reply = askWhileWatching(session, {admin::kListBans}, {admin::kListBans}, held);
    if (!reply) return std::nullopt;
    std::string entry;
    for (std::size_t index = 1; index < reply->size(); ++index) {
        const char c = static_cast<char>((*reply)[index]);
        if (c != admin::kBanListSeparator) {
            entry.push_back(c);
            continue;
        }
        const auto form = varn::banentry::readEntryForm(entry);
        if (form && form->covers(own->address)) return true;
        entry.clear();
    }
    if (reply->size() > admin::kBanListReplySize - 16) return std::nullopt;
    return false;
}

// The kind of a watch line (for --only), from the word it starts with.
std::string lineKind(const std::string& line) {
    static const std::map<std::string, std::string, std::less<>> kinds = {
        {"join", "joins"},   {"leave", "leaves"}, {"chat", "chat"}, {"kill", "kills"},
        {"death", "kills"},  {"score", "scores"}, {"ping", "pings"}, {"motd", "motd"}};
    const auto found = kinds.find(line.substr(0, line.find(':')));
    return found == kinds.end() ? "other" : found->second;
}

// What watch prints of the players and the lines: the addresses it knows (from the joins and, for
// those on at the start, from the server) tell a kick from a ban, which the leave notice does not.
class WatchPrinter {
public:
    WatchPrinter(const Session& session, std::deque<Datagram>& held)
        : session_(session), held_(held), events_(session.login.players) {}

    void learnAddresses() {
        for (const Player& player : session_.login.players) {
            const auto id = static_cast<std::uint8_t>(player.id);
            const auto reply = askWhileWatching(session_, bytesOf(admin::encodePlayerRequest(admin::kPlayerAddress, id)),
                                                {admin::kPlayerAddress, id}, held_);
            if (reply && reply->size() > 2) addresses_[player.id] = std::string(reply->begin() + 2, reply->end());
        }
    }

    void print(const Datagram& datagram) {
        const varn::PacketReader reader(datagram.bytes.data(), datagram.bytes.size());
        std::string removal;
        if (datagram.fromAdminPort && !datagram.bytes.empty()) {
            if (const auto joined = varn::decodePlayerJoined(reader); joined && datagram.bytes[0] == varn::command::kPlayerJoined) {
                addresses_[joined->playerId] = std::string(joined->address);
            } else if (const auto left = varn::decodePlayerLeft(reader);
                       left && datagram.bytes[0] == varn::command::kPlayerLeft &&
                       left->reason == varn::leftReason::kKickedOrBanned) {
                removal = removalKind(left->playerId);
            }
        }
        auto line = events_.describe(datagram);
        if (!line) return;
        std::set<std::string, std::less<>> kinds = {lineKind(*line)};
        if (!removal.empty()) {
            const std::string both = "(" + GameEvents::leaveReason(varn::leftReason::kKickedOrBanned) + ")";
            if (const auto at = line->find(both); at != std::string::npos && removal != "unknown") {
                line->replace(at, both.size(), removal == "bans" ? "(banned by an admin)" : "(kicked by an admin)");
            }
            kinds = removal == "unknown" ? std::set<std::string, std::less<>>{"kicks", "bans"}
                                         : std::set<std::string, std::less<>>{removal};
        }
        if (!wanted(kinds)) return;
        std::printf("%s\n", line->c_str());
        std::fflush(stdout);
    }

private:
    // "bans" when the ban list now covers the player's address, "kicks" when not, "unknown" when it
    // cannot be told.
    std::string removalKind(int playerId) {
        const auto address = addresses_.find(playerId);
        if (address == addresses_.end()) return "unknown";
        const auto banned = addressBanned(session_, address->second, held_);
        if (!banned) return "unknown";
        return *banned ? "bans" : "kicks";
    }

    bool wanted(const std::set<std::string, std::less<>>& kinds) const {
        const Options& options = session_.options;
        if (options.given.contains("--no-pings") && kinds.contains("pings")) return false;
        if (!options.only) return true;
        return std::any_of(kinds.begin(), kinds.end(), [&options](const std::string& kind) { return options.only->contains(kind); });
    }

    const Session& session_;
    std::deque<Datagram>& held_;
    GameEvents events_;
    std::map<int, std::string> addresses_;
};

int watch(const Session& session) {
    std::deque<Datagram> held;
    WatchPrinter printer(session, held);
    std::printf("watching %s:%u as '%s' (admin id %d)\n", session.options.host.c_str(),
                static_cast<unsigned>(session.options.port), session.options.name.c_str(),
                session.login.adminId);
    for (const Player& player : session.login.players) {
        std::printf("player: %d '%s' (score %d)\n", player.id, player.name.c_str(), player.score);
    }
    std::fflush(stdout);
    printer.learnAddresses();

    using SteadyClock = std::chrono::steady_clock;
    const auto end = session.options.duration ? SteadyClock::now() + *session.options.duration
                                              : SteadyClock::time_point::max();
    auto lastHeard = SteadyClock::now();
    bool warned = false;
    while (!stopRequested() && SteadyClock::now() < end) {
        if (!held.empty()) {
            const Datagram datagram = std::move(held.front());
            held.pop_front();
            printer.print(datagram);
            continue;
        }
        const auto untilEnd = std::chrono::duration_cast<Milliseconds>(end - SteadyClock::now());
        const auto datagram = session.connection.next(std::min(untilEnd, Milliseconds(1000)));
        if (!datagram) {
            if (!warned && SteadyClock::now() - lastHeard > kSilenceWarning) {
                fail("nothing from the server for " + secondsText(kSilenceWarning) +
                     " s; it may have stopped");
                warned = true;
            }
            continue;
        }
        lastHeard = SteadyClock::now();
        warned = false;
        printer.print(*datagram);
    }
    return kExitDone;
}

int runCommand(const Session& session) {
    const std::string& command = session.options.command;
    if (command == "players") return listPlayers(session);
    if (command == "say") return say(session);
    if (command == "kick") return removePlayer(session, false);
    if (command == "ban") return removePlayer(session, true);
    if (command == "ip") return playerAddress(session);
    if (command == "bans") return listBans(session);
    if (command == "addban") return addBan(session);
    if (command == "unban") return unban(session);
    if (command == "password") return setServerPassword(session);
    if (command == "motd") return reloadMessageOfTheDay(session);
    if (command == "scripts") return reloadScripts(session);
    if (command == "shutdown") return shutDown(session);
    return watch(session);
}

// The row of status: the server (its profile name, else host:port), its name, version, players and
// maximum ('?' where the admin port does not tell).
void printStatusRow(const Options& options, const std::string& name, const std::string& version, int players,
                    const std::string& maximum) {
    const std::string server = options.label.empty() ? options.host + ":" + std::to_string(options.port) : options.label;
    std::printf("%-14s %-26s %-8s %d/%s\n", server.c_str(), name.c_str(), version.c_str(), players, maximum.c_str());
    std::fflush(stdout);
}

// Logs in with the admin name; a default name the server has taken is tried again with a number.
LoginResult logIn(AdminConnection& connection, Options& options, const std::string& password) {
    const std::string wanted = options.name;
    LoginResult login = connection.login(options.name, password, options.timeout);
    for (int number = 2; number < 2 + kNameNumbersTried && !options.given.contains("--name") &&
                         login.outcome == LoginOutcome::refused && login.refusalReason == admin::kRefusedNameInUse;
         ++number) {
        options.name = numberedName(wanted, number);
        login = connection.login(options.name, password, options.timeout);
    }
    return login;
}

// Runs the command on one server.
int runOn(Options options) {
    std::string error;
    if (options.command == "status") {
        const std::uint16_t queryPort =
            options.queryPort.value_or(static_cast<std::uint16_t>(options.gamePort + varn::browser::kQueryPortOffset));
        if (const auto status = queryStatus(options.host, queryPort, options.timeout)) {
            printStatusRow(options, status->name, status->version, status->players, std::to_string(status->maxPlayers));
            return kExitDone;
        }
        std::cerr << "varnadmin: " << (options.label.empty() ? options.host : options.label)
                  << ": no answer to the status query on port " << queryPort << "; asking the admin port\n";
    }
    // The connection is opened (nothing is sent) first, so that an entry that would shut this
    // computer out is refused before the password is asked for.
    AdminConnection connection;
    if (!connection.open(options.host, options.port, error)) {
        fail(error);
        return kExitFailed;
    }
    if (const auto problem = shutsOutThisComputer(options, connection)) {
        fail(*problem);
        return kExitFailed;
    }
    const auto password = adminPassword(options);
    if (!password) return kExitUsage;
    installStopHandlers();
    const LoginResult login = logIn(connection, options, *password);
    if (login.outcome == LoginOutcome::tooLong) {
        fail("the admin password is too long for the server to read");
        return kExitUsage;
    }
    if (login.outcome == LoginOutcome::noAnswer) {
        if (stopRequested()) return kExitFailed;
        fail("no answer from " + options.host + ":" + std::to_string(options.port) + " within " +
             secondsText(options.timeout) +
             " s; is the server running with AdminServer 1 and an AdminPassword, on this port?");
        return kExitFailed;
    }
    if (login.outcome == LoginOutcome::refused) {
        fail("login refused: " + refusalText(login.refusalReason, options));
        return kExitFailed;
    }
    if (options.command == "status") {
        printStatusRow(options, "?", "?", static_cast<int>(login.players.size()), "?");
        connection.quit();
        return kExitDone;
    }
    const int status = runCommand(Session{connection, login, options});
    // A server that is shutting down has no session left to end.
    if (options.command != "shutdown" || status != kExitDone) connection.quit();
    return status;
}

// The profile's values, where the command line gave none.
Options withProfile(const Options& options, const ServerProfile& profile) {
    Options server = options;
    server.label = profile.name;
    const auto fill = [&options](std::string_view option, auto& field, const auto& value) {
        if (value && !options.given.contains(option)) field = *value;
    };
    fill("--host", server.host, profile.host);
    fill("--port", server.port, profile.adminPort);
    fill("--game-port", server.gamePort, profile.gamePort);
    if (profile.queryPort && !options.given.contains("--query-port")) server.queryPort = profile.queryPort;
    if (profile.passwordFile && !options.given.contains("--password-file")) server.passwordFile = profile.passwordFile;
    fill("--name", server.name, profile.adminName);
    if (profile.adminName && !options.given.contains("--name")) server.given.emplace("--name");
    return server;
}

// The servers -s names, from the profile file; "all" is every one. Nothing with a message on a mistake.
std::optional<std::vector<Options>> serversOf(const Options& options, std::string& error) {
    const auto path = profileFilePath();
    if (!path) {
        error = "-s needs a profile file, and neither XDG_CONFIG_HOME nor HOME is set";
        return std::nullopt;
    }
    std::ifstream file(*path);
    if (!file) {
        error = "-s needs the profile file " + *path + " (one [NAME] a server; see varnadmin --help)";
        return std::nullopt;
    }
    std::stringstream text;
    text << file.rdbuf();
    const char* home = std::getenv("HOME");
    const auto profiles = readProfiles(text.str(), home != nullptr ? home : "", error);
    if (!profiles) {
        error = *path + ": " + error;
        return std::nullopt;
    }
    std::vector<Options> servers;
    for (const std::string& name : options.servers) {
        bool found = false;
        for (const ServerProfile& profile : *profiles) {
            if (name == "all" || profile.name == name) {
                servers.push_back(withProfile(options, profile));
                found = true;
            }
        }
        if (!found) {
            std::string known;
            for (const ServerProfile& profile : *profiles) known += (known.empty() ? "" : ", ") + profile.name;
            error = "no server '" + name + "' in " + *path + " (it has: " + (known.empty() ? "none" : known) + ")";
            return std::nullopt;
        }
    }
    return servers;
}

int run(int argumentCount, char** arguments) {
    for (int index = 1; index < argumentCount; ++index) {
        const std::string_view argument = arguments[index];
        if (argument == "--") break;
        if (isHelpOption(argument)) {
            std::cout << usageText();
            return kExitDone;
        }
    }
    Options options;
    std::string error;
    if (!parseArguments(argumentCount, arguments, options, error)) {
        fail(error);
        std::cerr << "Try 'varnadmin --help'.\n";
        return kExitUsage;
    }
    if (const auto problem = checkCommand(options)) {
        fail(*problem);
        std::cerr << "Try 'varnadmin --help'.\n";
        return kExitUsage;
    }
    std::vector<Options> servers = {options};
    if (!options.servers.empty()) {
        auto named = serversOf(options, error);
        if (!named) {
            fail(error);
            return kExitUsage;
        }
        servers = std::move(*named);
    }
    if (servers.size() > 1 && options.command == "watch") {
        fail("watch follows one server at a time; run one varnadmin watch for each");
        return kExitUsage;
    }
    if (options.command == "status") std::fprintf(stderr, "%-14s %-26s %-8s %s\n", "SERVER", "NAME", "VERSION", "PLAYERS");
    int worst = kExitDone;
    for (const Options& server : servers) {
        if (servers.size() > 1 && options.command != "status") {
            std::printf("== %s\n", server.label.c_str());
            std::fflush(stdout);
        }
        worst = std::max(worst, runOn(server));
        if (stopRequested()) break;
    }
    return worst;
}

}  // namespace
}  // namespace varnadmin

int main(int argumentCount, char** arguments) { return varnadmin::run(argumentCount, arguments); }
