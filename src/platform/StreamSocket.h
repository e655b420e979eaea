#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <system_error>

#include "platform/Wait.h"

namespace varn::platform {

// What one read or write on a stream connection came to.
enum class StreamStatus : std::uint8_t {
    done,        // bytes moved (read: at least one; write: at least one)
    wouldBlock,  // nothing can move now; wait for readiness
    closed,      // the peer has gone (or the connection failed): drop it
};

struct StreamResult {
    StreamStatus status = StreamStatus::wouldBlock;
    std::size_t bytes = 0;
};

// One accepted TCP connection. Non-blocking: a read or write never waits. Closed when destroyed.
class StreamConnection {
public:
    virtual ~StreamConnection() = default;
    virtual StreamResult read(std::span<std::uint8_t> buffer) = 0;
    virtual StreamResult write(std::span<const std::uint8_t> bytes) = 0;
    virtual WaitHandle waitHandle() const = 0;
    // The client's IPv4 address (network byte order); 0 where it is not known.
    virtual std::uint32_t peerAddress() const { return 0; }
};

// A non-blocking TCP listener on one IPv4 address. Closed when destroyed.
class StreamListener {
public:
    virtual ~StreamListener() = default;
    // Binds (address and port in network byte order) and listens; the system's reason on failure.
    virtual std::error_code listen(std::uint32_t address, std::uint16_t port, int backlog) = 0;
    // The next connection waiting, or null when none is.
    virtual std::unique_ptr<StreamConnection> accept() = 0;
    // The bound port in host order (useful after binding port 0); 0 when not listening.
    virtual std::uint16_t localPort() const = 0;
    virtual WaitHandle waitHandle() const = 0;
};

// Null where the build has no stream sockets (the Windows build).
std::unique_ptr<StreamListener> createTcpListener();

}  // namespace varn::platform
