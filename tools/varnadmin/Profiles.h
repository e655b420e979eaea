#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varnadmin {

// One server of the profile file: what varnadmin -s NAME connects with. Empty fields leave the
// command line's value or the default.
struct ServerProfile {
    std::string name;
    std::optional<std::string> host;
    std::optional<std::uint16_t> adminPort;
    std::optional<std::uint16_t> gamePort;
    std::optional<std::uint16_t> queryPort;
    std::optional<std::string> passwordFile;
    std::optional<std::string> adminName;
};

// The profile file: $XDG_CONFIG_HOME/varnadmin/servers.conf, or ~/.config/varnadmin/servers.conf when
// XDG_CONFIG_HOME is not set (or not absolute). Nothing when neither can be named.
std::optional<std::string> profileFilePath();

// Reads a profile file: a "[NAME]" line opens a server, "key = value" lines describe it (host,
// admin-port, game-port, query-port, password-file, name), '#' starts a comment. A password file
// written "~/..." is taken from the home folder. Servers in file order; nothing with a message naming
// the line on a mistake.
std::optional<std::vector<ServerProfile>> readProfiles(const std::string& text, const std::string& home,
                                                       std::string& error);

}  // namespace varnadmin
