#include "metrics/MetricsEndpoint.h"

#include <algorithm>

#include "log/ServerLog.h"
#include "net/PeerAddress.h"

namespace varn {

namespace {

constexpr std::string_view kExpositionType = "text/plain; version=0.0.4; charset=utf-8";

std::string httpReply(std::string_view status, std::string_view contentType, std::string_view body,
                      std::string_view extraHeader = {}) {
    std::string reply = "HTTP/1.1 ";
    reply += status;
    reply += "\r\nContent-Type: ";
    reply += contentType;
    reply += "\r\nContent-Length: ";
    reply += std::to_string(body.size());
    reply += "\r\n";
    reply += extraHeader;
    reply += "Connection: close\r\n\r\n";
    reply += body;
    return reply;
}

std::string plainReply(std::string_view status, std::string_view body, std::string_view extraHeader = {}) {
    return httpReply(status, "text/plain; charset=utf-8", body, extraHeader);
}

// The request is complete once its headers end with an empty line.
bool headersComplete(std::string_view request) {
    return request.find("\r\n\r\n") != std::string_view::npos || request.find("\n\n") != std::string_view::npos;
}

// The next word of the request line, up to a space.
std::string_view takeWord(std::string_view& line) {
    const std::size_t end = std::min(line.find(' '), line.size());
    const std::string_view word = line.substr(0, end);
    line.remove_prefix(std::min(end + 1, line.size()));
    return word;
}

constexpr int kListenBacklog = 16;

}  // namespace

std::unique_ptr<platform::StreamListener> openMetricsListener(const std::string& address, std::int32_t port) {
    std::unique_ptr<platform::StreamListener> listener = platform::createTcpListener();
    std::string reason;
    const std::uint32_t bindAddress = addressFromText(address.c_str());
    if (!listener) {
        reason = "not available in this build";
    } else if (port <= 0 || port > kHighestPort) {
        reason = "not a port number";
    } else if (bindAddress == kNoAddress) {
        reason = "not an IPv4 address";
    } else {
        const PeerAddress local = PeerAddress::fromHostOrder(0, static_cast<std::uint16_t>(port));
        const std::error_code error = listener->listen(bindAddress, local.port, kListenBacklog);
        if (error) reason = error.message();
    }
    if (reason.empty()) return listener;
    ServerLog::instance().diagnostic("varnserver: metrics endpoint ", address, ":", port, ": ", reason,
                                     "; the server runs without metrics");
    return nullptr;
}

MetricsEndpoint::MetricsEndpoint(LoopTasks& loop, std::unique_ptr<platform::StreamListener> listener,
                                 Render render, LoopTasks::Milliseconds)
    : loop_(loop), listener_(std::move(listener)), render_(std::move(render)) {
    listenerTask_ = loop_.addSocket(listener_->waitHandle(), Interest::Read,
                                    [this](Readiness, LoopTasks::Milliseconds now) { acceptWaiting(now); });
}

MetricsEndpoint::~MetricsEndpoint() {
    for (const std::unique_ptr<Connection>& connection : connections_) loop_.removeSocket(connection->task);
    if (sweepTask_ != 0) loop_.removePeriodic(sweepTask_);
    loop_.removeSocket(listenerTask_);
}

std::string MetricsEndpoint::replyTo(std::string_view request, const Render& render) {
    std::string_view line = request.substr(0, std::min(request.find('\n'), request.size()));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::string_view method = takeWord(line);
    std::string_view target = takeWord(line);
    const std::string_view version = line;
    if (method.empty() || target.empty() || version.substr(0, 7) != "HTTP/1.") {
        return plainReply("400 Bad Request", "bad request\n");
    }
    if (method != "GET") return plainReply("405 Method Not Allowed", "method not allowed\n", "Allow: GET\r\n");
    target = target.substr(0, std::min(target.find('?'), target.size()));
    if (target == "/metrics") return httpReply("200 OK", kExpositionType, render());
    if (target == "/healthz") return plainReply("200 OK", "ok\n");
    return plainReply("404 Not Found", "not found\n");
}

void MetricsEndpoint::acceptWaiting(LoopTasks::Milliseconds now) {
    for (std::size_t accepted = 0; accepted < kAcceptsPerPass; ++accepted) {
        std::unique_ptr<platform::StreamConnection> stream = listener_->accept();
        if (!stream) return;
        if (connections_.size() >= kMaxConnections) {
            // Closed at once: a busy endpoint refuses rather than queues.
            ++refusedConnections_;
            continue;
        }
        auto connection = std::make_unique<Connection>();
        Connection* served = connection.get();
        served->stream = std::move(stream);
        served->deadline = now + kRequestTimeoutMilliseconds;
        served->task = loop_.addSocket(
            served->stream->waitHandle(), Interest::Read,
            [this, served](Readiness readiness, LoopTasks::Milliseconds when) { serve(*served, readiness, when); });
        connections_.push_back(std::move(connection));
        // The sweep runs only while there is a connection to time out, so an endpoint nobody reads
        // never wakes the loop.
        if (sweepTask_ == 0) {
            sweepTask_ =
                loop_.addPeriodic(kSweepIntervalMilliseconds, [this](LoopTasks::Milliseconds when) { sweep(when); });
        }
    }
}

void MetricsEndpoint::serve(Connection& connection, Readiness readiness, LoopTasks::Milliseconds now) {
    bool goOn = true;
    if (!connection.replying) {
        goOn = readRequest(connection, now);
    } else {
        if (readiness.writable) goOn = writeReply(connection);
        if (goOn && readiness.readable) goOn = discardInput(connection);
    }
    if (!goOn) close(connection);
}

// What a client sends after its request is read and dropped, a bounded amount per pass; false once
// it has hung up.
bool MetricsEndpoint::discardInput(Connection& connection) {
    std::array<std::uint8_t, kMaxRequestBytes> buffer{};
    return connection.stream->read(buffer).status != platform::StreamStatus::closed;
}

bool MetricsEndpoint::readRequest(Connection& connection, LoopTasks::Milliseconds now) {
    std::array<std::uint8_t, kMaxRequestBytes> buffer{};
    while (connection.request.size() < kMaxRequestBytes) {
        const std::size_t room = kMaxRequestBytes - connection.request.size();
        const platform::StreamResult result = connection.stream->read(std::span(buffer.data(), room));
        if (result.status == platform::StreamStatus::closed) return false;
        if (result.status == platform::StreamStatus::wouldBlock) break;
        connection.request.insert(connection.request.end(), buffer.begin(),
                                  buffer.begin() + static_cast<std::ptrdiff_t>(result.bytes));
        const std::string_view text(reinterpret_cast<const char*>(connection.request.data()),
                                    connection.request.size());
        if (headersComplete(text)) {
            connection.reply = replyTo(text, render_);
            break;
        }
    }
    if (connection.reply.empty()) {
        if (connection.request.size() < kMaxRequestBytes) return true;
        connection.reply = plainReply("431 Request Header Fields Too Large", "request too large\n");
    }
    connection.replying = true;
    connection.request = {};
    connection.deadline = now + kReplyTimeoutMilliseconds;
    if (!writeReply(connection)) return false;
    loop_.setInterest(connection.task, Interest::ReadWrite);
    return true;
}

// True while part of the reply is still to go.
bool MetricsEndpoint::writeReply(Connection& connection) {
    while (connection.written < connection.reply.size()) {
        const std::string_view rest = std::string_view(connection.reply).substr(connection.written);
        const platform::StreamResult result = connection.stream->write(
            std::span(reinterpret_cast<const std::uint8_t*>(rest.data()), rest.size()));
        if (result.status == platform::StreamStatus::closed) return false;
        if (result.status == platform::StreamStatus::wouldBlock) return true;
        connection.written += result.bytes;
    }
    return false;
}

void MetricsEndpoint::close(Connection& connection) {
    loop_.removeSocket(connection.task);
    const auto found = std::find_if(connections_.begin(), connections_.end(),
                                    [&connection](const auto& open) { return open.get() == &connection; });
    if (found != connections_.end()) connections_.erase(found);
    if (connections_.empty() && sweepTask_ != 0) {
        loop_.removePeriodic(sweepTask_);
        sweepTask_ = 0;
    }
}

void MetricsEndpoint::sweep(LoopTasks::Milliseconds now) {
    std::vector<Connection*> late;
    for (const std::unique_ptr<Connection>& connection : connections_) {
        if (now >= connection->deadline) late.push_back(connection.get());
    }
    for (Connection* connection : late) close(*connection);
}

}  // namespace varn
