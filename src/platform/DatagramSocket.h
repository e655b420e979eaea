#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/Wait.h"

namespace varn::platform {

// One IPv4 datagram socket. Addresses and ports are in network byte order, as on the wire.
class DatagramSocket {
public:
    virtual ~DatagramSocket() = default;

    // Creates the socket, starting the system's socket library first where there is one to start
    // (the socket then holds it until destroyed); false when either is refused.
    virtual bool create() = 0;
    // After create() failed for want of the system's socket library: the log line that says so.
    // Empty where there is no library to start, or when the socket itself was refused.
    virtual std::string_view libraryFailureLine() const { return {}; }
    virtual bool bind(std::uint32_t address, std::uint16_t port) = 0;
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

// Looks a host name up; 0 when it cannot be resolved. Network byte order.
std::uint32_t lookupHostAddress(const char* hostName);

}  // namespace varn::platform
