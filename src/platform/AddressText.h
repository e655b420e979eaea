#pragma once

#include <cstdint>

namespace varn::platform {

// The address a non-empty dotted IPv4 text stands for, as the system's inet_addr reads it (one to
// four parts, octal and hexadecimal numbers); 255.255.255.255 for a text it does not accept.
// Network byte order. PeerAddress's text forms are built on it.
std::uint32_t systemAddressFromText(const char* text);

}  // namespace varn::platform
