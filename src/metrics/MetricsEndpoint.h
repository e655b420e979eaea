#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "http/HttpServer.h"
#include "net/LoopTasks.h"
#include "platform/StreamSocket.h"

namespace varn {

// The listener for MetricsAddress and MetricsPort, listening; null when it cannot be had, after one
// line on standard error (the log's lines are fixed; the server runs on without metrics).
std::unique_ptr<platform::StreamListener> openMetricsListener(const std::string& address, std::int32_t port);

// The metrics endpoint: GET /metrics gives the exposition, GET /healthz "ok"; other paths 404, other
// methods 405. It is the tree's HTTP server (src/http/) with these two routes and its limits: a few
// connections at once (more are closed on arrival), a request of at most 4 KiB read within a short
// time, the reply written as the client takes it, and a client too slow to send its request or take
// the reply is cut off.
class MetricsEndpoint {
public:
    static constexpr std::size_t kMaxConnections = 4;
    static constexpr std::size_t kMaxRequestBytes = 4096;
    static constexpr LoopTasks::Milliseconds kRequestTimeoutMilliseconds = 2'000;
    static constexpr LoopTasks::Milliseconds kReplyTimeoutMilliseconds = 5'000;
    static constexpr LoopTasks::Milliseconds kSweepIntervalMilliseconds = HttpServer::kSweepIntervalMilliseconds;

    using Render = std::function<std::string()>;

    // The listener must be listening; the endpoint registers it with the loop at once.
    MetricsEndpoint(LoopTasks& loop, std::unique_ptr<platform::StreamListener> listener, Render render,
                    LoopTasks::Milliseconds now);

    std::size_t openConnections() const { return server_.openConnections(); }
    std::uint64_t refusedConnections() const { return server_.refusedConnections(); }

    // The reply to one request; exposed for tests.
    static HttpResponse replyTo(const HttpRequest& request, const Render& render);

private:
    HttpServer server_;
};

}  // namespace varn
