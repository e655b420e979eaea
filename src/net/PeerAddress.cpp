#include "net/PeerAddress.h"

#include <bit>

#include "platform/AddressText.h"

namespace varn {

namespace {

std::uint32_t swapIfLittle(std::uint32_t value) {
    if constexpr (std::endian::native == std::endian::little) {
        return ((value & 0xFFu) << 24) | ((value & 0xFF00u) << 8) | ((value >> 8) & 0xFF00u) | (value >> 24);
    }
    return value;
}

std::uint16_t swapIfLittle(std::uint16_t value) {
    if constexpr (std::endian::native == std::endian::little) {
        return static_cast<std::uint16_t>((value << 8) | (value >> 8));
    }
    return value;
}

}  // namespace

PeerAddress PeerAddress::fromHostOrder(std::uint32_t hostAddress, std::uint16_t hostPort) {
    return PeerAddress{swapIfLittle(hostAddress), swapIfLittle(hostPort)};
}

std::uint32_t PeerAddress::hostAddress() const { return swapIfLittle(address); }

std::uint16_t PeerAddress::hostPort() const { return swapIfLittle(port); }

IpText PeerAddress::ipText() const { return ipTextOf(address); }

IpText ipTextOf(std::uint32_t networkAddress) {
    IpText result;
    const std::uint32_t host = swapIfLittle(networkAddress);
    char* out = result.text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned octet = (host >> shift) & 0xFFu;
        if (octet >= 100) *out++ = static_cast<char>('0' + octet / 100);
        if (octet >= 10) *out++ = static_cast<char>('0' + octet / 10 % 10);
        *out++ = static_cast<char>('0' + octet % 10);
        if (shift != 0) *out++ = '.';
    }
    *out = '\0';
    result.length = static_cast<std::uint8_t>(out - result.text);
    return result;
}

std::uint32_t addressFromText(const char* text) {
    if (text == nullptr || *text == '\0') return kNoAddress;
    return platform::systemAddressFromText(text);
}

}  // namespace varn
