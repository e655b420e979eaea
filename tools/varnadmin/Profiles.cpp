#include "Profiles.h"

#include <charconv>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string_view>

namespace varnadmin {

namespace {

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::optional<std::uint16_t> portOf(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// Sets one key of a server; false for an unknown key or a bad value.
bool setKey(ServerProfile& server, std::string_view key, std::string_view value, const std::string& home) {
    if (key == "host") {
        server.host = std::string(value);
    } else if (key == "admin-port" || key == "game-port" || key == "query-port") {
        const auto port = portOf(value);
        if (!port) return false;
        (key == "admin-port" ? server.adminPort : key == "game-port" ? server.gamePort : server.queryPort) = port;
    } else if (key == "password-file") {
        std::string path(value);
        if (path.starts_with("~/") && !home.empty()) path = home + path.substr(1);
        server.passwordFile = path;
    } else if (key == "name") {
        server.adminName = std::string(value);
    } else {
        return false;
    }
    return !value.empty();
}

}  // namespace

std::optional<std::string> profileFilePath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return std::string(config) + "/varnadmin/servers.conf";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home) + "/.config/varnadmin/servers.conf";
    return std::nullopt;
}

std::optional<std::vector<ServerProfile>> readProfiles(const std::string& text, const std::string& home,
                                                       std::string& error) {
    std::vector<ServerProfile> servers;
    std::set<std::string, std::less<>> names;
    std::istringstream lines(text);
    int number = 0;
    for (std::string raw; std::getline(lines, raw);) {
        ++number;
        const std::string where = "line " + std::to_string(number) + ": ";
        const std::string_view line = trimmed(raw);
        if (line.empty() || line[0] == '#') continue;
        if (line.front() == '[') {
            const std::string_view name = line.back() == ']' ? trimmed(line.substr(1, line.size() - 2)) : "";
            if (name.empty() || name.find_first_of(" \t,") != std::string_view::npos) {
                error = where + "a server is opened by [NAME], a name without spaces or commas";
                return std::nullopt;
            }
            if (!names.emplace(name).second) {
                error = where + "the server '" + std::string(name) + "' is named twice";
                return std::nullopt;
            }
            ServerProfile server;
            server.name = std::string(name);
            servers.push_back(std::move(server));
            continue;
        }
        const auto equals = line.find('=');
        if (servers.empty() || equals == std::string_view::npos) {
            error = where + "expected [NAME] or key = value under a [NAME]";
            return std::nullopt;
        }
        const std::string_view key = trimmed(line.substr(0, equals));
        const std::string_view value = trimmed(line.substr(equals + 1));
        if (!setKey(servers.back(), key, value, home)) {
            error = where + "'" + std::string(key) + "' is not host, admin-port, game-port, query-port, "
                    "password-file or name, or its value '" + std::string(value) + "' is not one";
            return std::nullopt;
        }
    }
    return servers;
}

}  // namespace varnadmin
