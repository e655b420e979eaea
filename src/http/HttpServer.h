#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http/HttpMessage.h"
#include "net/LoopTasks.h"
#include "platform/StreamSocket.h"

namespace varn {

// A listening TCP socket on address:port (the address as text, IPv4); null when it cannot be had, with
// the reason in `reason`.
std::unique_ptr<platform::StreamListener> openHttpListener(const std::string& address, std::int32_t port,
                                                           std::string& reason);

// What one HTTP server allows a client.
struct HttpLimits {
    // Open connections at once; more are closed on arrival.
    std::size_t maxConnections = 4;
    // The request line and headers; a longer head is answered 431.
    std::size_t maxHeadBytes = 4096;
    // A body by Content-Length; a longer one is answered 413 before it is read.
    std::size_t maxBodyBytes = 0;
    // From the connection's arrival to its whole request; then from the request to the reply's end.
    LoopTasks::Milliseconds requestTimeoutMilliseconds = 2'000;
    LoopTasks::Milliseconds replyTimeoutMilliseconds = 5'000;
    // Bytes pushed to a stream that its client has not taken yet; a stream past this is cut off.
    std::size_t maxStreamBacklogBytes = 1U << 20U;
};

// A small HTTP/1.1 server on the loop's thread. One request per connection: read within its limits,
// handed to the handler, its reply written as the client takes it, and the connection closed; a reply
// marked as a stream keeps its connection open for what push() sends later, and one the handler defers
// (HttpResponse::later) is sent when answer() is called, or never if its deadline passes first, so a
// handler that needs another server's answer never waits for it. Nothing here ever waits:
// a client too slow to send its request or take its reply is cut off at its deadline, and the loop is
// woken for deadlines only while a connection has one.
class HttpServer {
public:
    using ConnectionId = std::uint64_t;
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    // Connections taken from the listener in one pass, so a connection storm cannot hold the loop.
    static constexpr std::size_t kAcceptsPerPass = 64;
    // How often open connections are checked against their deadlines (only while one has a deadline).
    static constexpr LoopTasks::Milliseconds kSweepIntervalMilliseconds = 250;

    // The listener must be listening; the server registers it with the loop at once.
    HttpServer(LoopTasks& loop, std::unique_ptr<platform::StreamListener> listener, HttpLimits limits,
               Handler handler);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    std::size_t openConnections() const { return connections_.size(); }
    std::size_t openStreams() const;
    std::uint64_t refusedConnections() const { return refusedConnections_; }
    std::uint16_t localPort() const { return listener_->localPort(); }

    // Sends bytes on a stream the handler opened (the request's `connection`); false when it is gone,
    // or is cut off now because its client has left more than maxStreamBacklogBytes untaken.
    bool push(ConnectionId stream, std::string_view bytes);
    // Sends the reply to a request its handler deferred (HttpResponse::later); false when the
    // connection is gone (its client left, or its reply deadline passed) or was not deferred.
    bool answer(ConnectionId waiting, HttpResponse response);
    // Closes a stream once what was pushed has been written.
    void endStream(ConnectionId stream);
    // Told when a stream closes, whatever the reason, so its owner can forget it.
    void setStreamClosed(std::function<void(ConnectionId)> onClosed) { streamClosed_ = std::move(onClosed); }

private:
    struct Connection;

    void acceptWaiting(LoopTasks::Milliseconds now);
    void serve(Connection& connection, Readiness readiness, LoopTasks::Milliseconds now);
    // False when the connection is finished (answered or gone) and must be closed.
    bool readRequest(Connection& connection, LoopTasks::Milliseconds now);
    bool startReply(Connection& connection, HttpResponse response, LoopTasks::Milliseconds now);
    bool writePending(Connection& connection);
    bool discardInput(Connection& connection);
    Connection* find(ConnectionId id);
    void close(Connection& connection);
    void sweep(LoopTasks::Milliseconds now);
    void updateSweep();

    LoopTasks& loop_;
    std::unique_ptr<platform::StreamListener> listener_;
    HttpLimits limits_;
    Handler handler_;
    std::function<void(ConnectionId)> streamClosed_;
    LoopTasks::TaskId listenerTask_ = 0;
    LoopTasks::TaskId sweepTask_ = 0;
    std::vector<std::unique_ptr<Connection>> connections_;
    ConnectionId nextId_ = 1;
    std::uint64_t refusedConnections_ = 0;
};

}  // namespace varn
