#pragma once

#include <cstdint>
#include <string_view>

namespace varn {

// The dotted-decimal text of an IPv4 address, without the port, as inet_ntoa writes it.
struct IpText {
    char text[16] = {};
    std::uint8_t length = 0;

    std::string_view view() const { return {text, length}; }
    const char* c_str() const { return text; }
};

inline constexpr std::int32_t kHighestPort = 65535;

// An IPv4 socket address: address and port in network byte order, as received. Peers are told
// apart by address and port.
struct PeerAddress {
    std::uint32_t address = 0;
    std::uint16_t port = 0;

    static PeerAddress fromHostOrder(std::uint32_t hostAddress, std::uint16_t hostPort);
    std::uint32_t hostAddress() const;
    std::uint16_t hostPort() const;
    IpText ipText() const;

    friend bool operator==(const PeerAddress&, const PeerAddress&) = default;
};

// Text form of an address in network byte order.
IpText ipTextOf(std::uint32_t networkAddress);

// What addressFromText answers for a text it does not accept: 255.255.255.255, which a
// resolved address never is either.
inline constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;

// The address a dotted IPv4 text stands for, as the system's inet_addr reads it (one to four
// parts, octal and hexadecimal numbers); kNoAddress for a text it does not accept, and for an
// empty text. Network byte order.
std::uint32_t addressFromText(const char* text);

}  // namespace varn
