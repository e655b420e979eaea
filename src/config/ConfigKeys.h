#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace varn {

// How the server reads a key's first value.
enum class ConfigKeyKind {
    text,             // taken as written
    address,          // a dotted IPv4 address, converted when the socket is bound
    onOff,            // on only when it reads as the integer 1
    integer,          // read as a decimal integer, wrapping in 32 bits
    unsignedInteger,  // read as an integer, then taken as unsigned 32 bits (-1 is 4294967295)
};

// A key the server knows, with the numbers that make sense for it.
struct ConfigKey {
    std::string_view name;
    ConfigKeyKind kind;
    // The sensible range of the number kinds; an on/off key's is 0 to 1.
    std::int64_t lowest = 0;
    std::int64_t highest = 0;
    // For a key whose value 0 or less stands for a default: that default.
    std::optional<std::int32_t> zeroOrLessMeans;
};

// Every key the server or its additions read, in the order the README lists them.
std::span<const ConfigKey> knownConfigKeys();
// The key of that name (case-sensitive, as keys are read); null for an unknown one.
const ConfigKey* findConfigKey(std::string_view name);

}  // namespace varn
