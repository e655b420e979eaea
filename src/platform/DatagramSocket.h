#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <system_error>
#include <string_view>

#include "platform/Wait.h"

namespace varn::platform {

// What one receive came to. A socket that says "nothing more" has no datagram waiting now; one
// that failed (an oversized datagram refused, or an error the system reported) may still hold
// more, and the next receive goes on with them.
enum class ReceiveStatus : std::uint8_t {
    datagram,
    nothingMore,
    failed,
};

// One receive: its outcome and, for a datagram, its length and sender (network byte order).
struct ReceiveResult {
    ReceiveStatus status = ReceiveStatus::nothingMore;
    std::size_t length = 0;
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    // The address the datagram was sent to, from a batched receive on a socket that reports it
    // (reportLocalAddresses); 0 otherwise.
    std::uint32_t localAddress = 0;
};

// One place of a batched receive: the caller's buffer and what was received into it.
struct ReceiveSlot {
    std::uint8_t* buffer = nullptr;
    std::size_t capacity = 0;
    ReceiveResult result;
};

// One datagram of a batched send and, after the send, whether it went.
struct SendSlot {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    const std::uint8_t* data = nullptr;
    std::size_t length = 0;
    // Bytes sent; -1 when this datagram did not go.
    int sent = -1;
    // The local address to send from, on a socket bound to all addresses; 0 lets the system pick.
    std::uint32_t source = 0;
};

// One IPv4 datagram socket. Every socket is created non-blocking: a receive never waits, and a
// send waits only briefly for room in the system's send buffer. Addresses and ports are in network byte order, as on the wire.
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
    // The system's reason why the last bind failed; no error when it worked or was never tried.
    virtual std::error_code bindError() const { return {}; }
    virtual bool setNonBlocking() = 0;
    // Waits at most the given time for a datagram; false on time-out or error.
    virtual bool waitReadable(std::uint32_t waitMicroseconds) = 0;
    // Receives one datagram. A datagram larger than capacity is consumed and refused (-1), never cut.
    // Returns -1 on failure or when nothing is waiting; receive() tells the two apart.
    virtual int receiveFrom(std::uint8_t* buffer, std::size_t capacity, std::uint32_t& address,
                            std::uint16_t& port) = 0;
    virtual int sendTo(std::uint32_t address, std::uint16_t port, const std::uint8_t* data,
                       std::size_t length) = 0;

    // Receives one datagram and says which of the three things happened. A datagram larger than
    // capacity is consumed and refused (failed), never cut. This default, for sockets that only
    // have receiveFrom, takes a failure with nothing readable after it for "nothing more".
    virtual ReceiveResult receive(std::uint8_t* buffer, std::size_t capacity);
    // Receives into the slots in arrival order, at most one datagram each, and returns how many
    // slots hold a result. Only the last of them can say "nothing more", which ends the batch early;
    // a failed slot (an oversized datagram) is skipped and the datagrams after it are kept.
    virtual std::size_t receiveBatch(std::span<ReceiveSlot> slots);
    // Sends every slot in order, each to its own destination, and sets each slot's `sent`. A
    // datagram that cannot go does not hold back or lose the ones after it.
    virtual void sendBatch(std::span<SendSlot> slots);
    // Asks the system for a receive buffer of this many bytes (SO_RCVBUF) and returns the size it
    // granted, which its limit may have cut; -1 where the size cannot be set or read.
    virtual int setReceiveBufferBytes(int /*bytes*/) { return -1; }
    // Asks the system to say, for each datagram of a batched receive, the local address it was sent
    // to, and to honour a batched send's source address: a socket bound to all addresses can then
    // answer from the address it was asked on. False where the system cannot.
    virtual bool reportLocalAddresses() { return false; }
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
