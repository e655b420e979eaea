#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/LoopTasks.h"
#include "platform/StreamSocket.h"

namespace varn {

// The listener for MetricsAddress and MetricsPort, listening; null when it cannot be had, after one
// line on standard error (the log's lines are fixed; the server runs on without metrics).
std::unique_ptr<platform::StreamListener> openMetricsListener(const std::string& address, std::int32_t port);

// The metrics endpoint: a tiny HTTP/1.1 server on the main loop's thread. GET /metrics gives the
// exposition, GET /healthz "ok"; other paths 404, other methods 405. One request per connection,
// answered and closed. Nothing here ever waits: a few connections at once (more are closed on
// arrival), a request of at most 4 KiB read within a short time, the reply written as the client
// takes it, and a client too slow to send its request or take the reply is cut off.
class MetricsEndpoint {
public:
    static constexpr std::size_t kMaxConnections = 4;
    static constexpr std::size_t kMaxRequestBytes = 4096;
    static constexpr LoopTasks::Milliseconds kRequestTimeoutMilliseconds = 2'000;
    static constexpr LoopTasks::Milliseconds kReplyTimeoutMilliseconds = 5'000;
    // Connections taken from the listener in one pass, so a connection storm cannot hold the loop.
    static constexpr std::size_t kAcceptsPerPass = 64;
    // How often open connections are checked against their deadlines (only while there are any).
    static constexpr LoopTasks::Milliseconds kSweepIntervalMilliseconds = 250;

    using Render = std::function<std::string()>;

    // The listener must be listening; the endpoint registers it with the loop at once.
    MetricsEndpoint(LoopTasks& loop, std::unique_ptr<platform::StreamListener> listener, Render render,
                    LoopTasks::Milliseconds now);
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    std::size_t openConnections() const { return connections_.size(); }
    std::uint64_t refusedConnections() const { return refusedConnections_; }

    // The reply to one request's bytes (request line and headers); exposed for tests.
    static std::string replyTo(std::string_view request, const Render& render);

private:
    struct Connection {
        std::unique_ptr<platform::StreamConnection> stream;
        LoopTasks::TaskId task = 0;
        LoopTasks::Milliseconds deadline = 0;
        std::vector<std::uint8_t> request;
        std::string reply;
        std::size_t written = 0;
        bool replying = false;
    };

    void acceptWaiting(LoopTasks::Milliseconds now);
    void serve(Connection& connection, Readiness readiness, LoopTasks::Milliseconds now);
    // False when the connection is finished (answered or gone) and must be closed.
    bool readRequest(Connection& connection, LoopTasks::Milliseconds now);
    bool writeReply(Connection& connection);
    bool discardInput(Connection& connection);
    void close(Connection& connection);
    void sweep(LoopTasks::Milliseconds now);

    LoopTasks& loop_;
    std::unique_ptr<platform::StreamListener> listener_;
    Render render_;
    LoopTasks::TaskId listenerTask_ = 0;
    LoopTasks::TaskId sweepTask_ = 0;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::uint64_t refusedConnections_ = 0;
};

}  // namespace varn
