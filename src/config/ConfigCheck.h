#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace varn {

class ConfigFile;
struct ConfigKey;

// What the server will make of a loaded configuration, as warnings for standard error, one line each
// in the order of the file's lines: keys it does not know (with the known key the line probably
// meant), and numbers that are not wholly a number or lie outside their key's range (with the number
// the server will use, which is what it has always made of such a text).
std::vector<std::string> configurationWarnings(const ConfigFile& config);
// The same against another program's table of keys (varnmaster's).
std::vector<std::string> configurationWarnings(const ConfigFile& config, std::span<const ConfigKey> keys);

// Writes configurationWarnings to standard error; returns how many there were.
std::size_t reportConfigurationWarnings(const ConfigFile& config);
std::size_t reportConfigurationWarnings(const ConfigFile& config, std::span<const ConfigKey> keys);
// After a failed load, the path and the reason to standard error; nothing when no load was tried.
void reportConfigurationLoadFailure(const ConfigFile& config);

// Mistakes about the administrators' password, for standard error, once the password file (when one
// is given, passwordFile) has been read into the configuration: AdminServer 1 without a password, and
// a password that users other than the server's own can read, in its file or in the configuration.
std::vector<std::string> adminPasswordWarnings(const ConfigFile& config, const std::string* passwordFile);
// Writes adminPasswordWarnings to standard error; returns how many there were.
std::size_t reportAdminPasswordWarnings(const ConfigFile& config, const std::string* passwordFile);

// The admin server listening on every local address, or on a public one, with PasswordLockout 1:
// whoever can forge an administrator's source address from afar can then lock him out, and no
// count over plain UDP can tell the forger from the owner. One warning for standard error, or none.
std::vector<std::string> adminAddressWarnings(const ConfigFile& config);
// Writes adminAddressWarnings to standard error; returns how many there were.
std::size_t reportAdminAddressWarnings(const ConfigFile& config);

// MetricsAddress takes a dotted IPv4 address (four decimal numbers 0 to 255) or localhost; the
// error line for anything else, or nothing.
std::optional<std::string> metricsAddressError(const ConfigFile& config);

// The last line of a configuration check: "Configuration OK." or the count of errors, and whether the
// server would still start with them.
std::string configurationCheckSummary(std::uint32_t errorCount, bool serverWouldStart);
// The same under --strict, where every warning counts as an error too.
std::string strictConfigurationCheckSummary(std::uint32_t errorCount, std::uint32_t warningCount,
                                            bool serverWouldStart);

}  // namespace varn
