#include "metrics/MetricsEndpoint.h"

#include "log/ServerLog.h"

namespace varn {

namespace {

constexpr std::string_view kExpositionType = "text/plain; version=0.0.4; charset=utf-8";

HttpLimits metricsLimits() {
    HttpLimits limits;
    limits.maxConnections = MetricsEndpoint::kMaxConnections;
    limits.maxHeadBytes = MetricsEndpoint::kMaxRequestBytes;
    limits.maxBodyBytes = 0;
    limits.requestTimeoutMilliseconds = MetricsEndpoint::kRequestTimeoutMilliseconds;
    limits.replyTimeoutMilliseconds = MetricsEndpoint::kReplyTimeoutMilliseconds;
    return limits;
}

}  // namespace

std::unique_ptr<platform::StreamListener> openMetricsListener(const std::string& address, std::int32_t port) {
    std::string reason;
    std::unique_ptr<platform::StreamListener> listener = openHttpListener(address, port, reason);
    if (listener) return listener;
    ServerLog::instance().diagnostic("varnserver: metrics endpoint ", address, ":", port, ": ", reason,
                                     "; the server runs without metrics");
    return nullptr;
}

MetricsEndpoint::MetricsEndpoint(LoopTasks& loop, std::unique_ptr<platform::StreamListener> listener,
                                 Render render, LoopTasks::Milliseconds)
    : server_(loop, std::move(listener), metricsLimits(),
              [render = std::move(render)](const HttpRequest& request) { return replyTo(request, render); }) {}

HttpResponse MetricsEndpoint::replyTo(const HttpRequest& request, const Render& render) {
    if (request.method != "GET") {
        return HttpResponse::text(405, "method not allowed\n").with("Allow", "GET");
    }
    if (request.path == "/metrics") {
        HttpResponse response = HttpResponse::text(200, render());
        response.contentType = kExpositionType;
        return response;
    }
    if (request.path == "/healthz") return HttpResponse::text(200, "ok\n");
    return HttpResponse::text(404, "not found\n");
}

}  // namespace varn
