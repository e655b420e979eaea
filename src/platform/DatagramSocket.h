#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <system_error>

#include "platform/Wait.h"

namespace varn::platform {

// One IPv4 datagram socket. Addresses and ports are in network byte order, as on the wire.
class DatagramSocket {
public:
    virtual ~DatagramSocket() = default;

    // Starts the system's socket library (Windows Sockets 2.2) for this socket and holds it until the
    // socket is destroyed; create() starts it too. True at once where there is no library to start.
    virtual bool startLibrary() { return true; }
    // Creates the socket; false when the system refuses one.
    virtual bool create() = 0;
    virtual bool bind(std::uint32_t address, std::uint16_t port) = 0;
    // The system's reason why the last bind failed; no error when it worked or was never tried.
    virtual std::error_code bindError() const { return {}; }
    virtual bool setNonBlocking() = 0;
    // Waits at most the given time for a datagram; false on time-out or error.
    virtual bool waitReadable(std::uint32_t waitMicroseconds) = 0;
    // Receives one datagram. A datagram larger than capacity is consumed and refused (-1), never cut.
    // Returns -1 on failure or when nothing is waiting on a non-blocking socket.
    virtual int receiveFrom(std::uint8_t* buffer, std::size_t capacity, std::uint32_t& address,
                            std::uint16_t& port) = 0;
    virtual int sendTo(std::uint32_t address, std::uint16_t port, const std::uint8_t* data,
                       std::size_t length) = 0;
    virtual void close() = 0;
    // The handle the loop's readiness wait watches; kNoWaitHandle when there is none.
    virtual WaitHandle waitHandle() const = 0;
    // The local port after bind, network byte order.
    virtual std::uint16_t localPort() const = 0;
};

std::unique_ptr<DatagramSocket> createUdpSocket();

// What addressFromText answers for a text it does not accept: 255.255.255.255, which a
// resolved address never is either.
inline constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;

// The address a dotted IPv4 text stands for, as the platform's inet_addr reads it (one to four
// parts, octal and hexadecimal numbers); kNoAddress for a text it does not accept, and for an
// empty text.
std::uint32_t addressFromText(const char* text);

// Looks a host name up; 0 when it cannot be resolved. Network byte order.
std::uint32_t lookupHostAddress(const char* hostName);

}  // namespace varn::platform
