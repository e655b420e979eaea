#include "http/HttpServer.h"

#include <algorithm>
#include <array>

#include "net/PeerAddress.h"

namespace varn {

namespace {

constexpr int kListenBacklog = 16;
constexpr std::size_t kReadChunkBytes = 4096;

}  // namespace

struct HttpServer::Connection {
    ConnectionId id = 0;
    std::unique_ptr<platform::StreamConnection> socket;
    LoopTasks::TaskId task = 0;
    HttpRequestReader reader;
    // Zero while none: a stream waits for pushes as long as its client stays.
    LoopTasks::Milliseconds deadline = 0;
    bool timed = true;
    bool replying = false;
    bool stream = false;
    bool ending = false;
    bool writing = false;
    // The handler deferred its reply: the connection waits for answer() until its reply deadline.
    bool deferred = false;
    std::string pending;
    std::size_t written = 0;

    Connection(std::size_t maxHead, std::size_t maxBody) : reader(maxHead, maxBody) {}
    std::size_t backlog() const { return pending.size() - written; }
};

std::unique_ptr<platform::StreamListener> openHttpListener(const std::string& address, std::int32_t port,
                                                           std::string& reason) {
    std::unique_ptr<platform::StreamListener> listener = platform::createTcpListener();
    const std::uint32_t bindAddress = addressFromText(address.c_str());
    reason.clear();
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
    return nullptr;
}

HttpServer::HttpServer(LoopTasks& loop, std::unique_ptr<platform::StreamListener> listener, HttpLimits limits,
                       Handler handler)
    : loop_(loop), listener_(std::move(listener)), limits_(limits), handler_(std::move(handler)) {
    listenerTask_ = loop_.addSocket(listener_->waitHandle(), Interest::Read,
                                    [this](Readiness, LoopTasks::Milliseconds now) { acceptWaiting(now); });
}

HttpServer::~HttpServer() {
    for (const std::unique_ptr<Connection>& connection : connections_) loop_.removeSocket(connection->task);
    if (sweepTask_ != 0) loop_.removePeriodic(sweepTask_);
    loop_.removeSocket(listenerTask_);
}

std::size_t HttpServer::openStreams() const {
    return static_cast<std::size_t>(
        std::count_if(connections_.begin(), connections_.end(), [](const auto& open) { return open->stream; }));
}

void HttpServer::acceptWaiting(LoopTasks::Milliseconds now) {
    for (std::size_t accepted = 0; accepted < kAcceptsPerPass; ++accepted) {
        std::unique_ptr<platform::StreamConnection> socket = listener_->accept();
        if (!socket) break;
        if (connections_.size() >= limits_.maxConnections) {
            // Closed at once: a busy server refuses rather than queues.
            ++refusedConnections_;
            continue;
        }
        auto connection = std::make_unique<Connection>(limits_.maxHeadBytes, limits_.maxBodyBytes);
        Connection* served = connection.get();
        served->id = nextId_++;
        served->socket = std::move(socket);
        served->deadline = now + limits_.requestTimeoutMilliseconds;
        served->task = loop_.addSocket(
            served->socket->waitHandle(), Interest::Read,
            [this, served](Readiness readiness, LoopTasks::Milliseconds when) { serve(*served, readiness, when); });
        connections_.push_back(std::move(connection));
    }
    updateSweep();
}

void HttpServer::serve(Connection& connection, Readiness readiness, LoopTasks::Milliseconds now) {
    bool goOn = true;
    if (!connection.replying) {
        goOn = readRequest(connection, now);
    } else {
        // A deferred reply has nothing to write until it is answered.
        if (readiness.writable && !connection.deferred) goOn = writePending(connection);
        if (goOn && readiness.readable) goOn = discardInput(connection);
    }
    if (!goOn) close(connection);
}

// What a client sends after its request is read is dropped, a bounded amount per pass; false once it
// has hung up.
bool HttpServer::discardInput(Connection& connection) {
    std::array<std::uint8_t, kReadChunkBytes> buffer{};
    return connection.socket->read(buffer).status != platform::StreamStatus::closed;
}

bool HttpServer::readRequest(Connection& connection, LoopTasks::Milliseconds now) {
    std::array<std::uint8_t, kReadChunkBytes> buffer{};
    HttpRequestReader& reader = connection.reader;
    while (reader.state() == HttpRequestReader::State::incomplete) {
        const std::size_t room = std::min(reader.room(), buffer.size());
        const platform::StreamResult result = connection.socket->read(std::span(buffer.data(), room));
        if (result.status == platform::StreamStatus::closed) return false;
        if (result.status == platform::StreamStatus::wouldBlock) return true;
        reader.feed(std::string_view(reinterpret_cast<const char*>(buffer.data()), result.bytes));
    }
    if (reader.state() == HttpRequestReader::State::failed) {
        const int status = reader.failure();
        std::string body = status == 431 ? "request too large\n" : status == 413 ? "body too large\n"
                           : status == 501                       ? "not implemented\n"
                                                                 : "bad request\n";
        return startReply(connection, HttpResponse::text(status, std::move(body)), now);
    }
    reader.request().connection = connection.id;
    reader.request().peerAddress = connection.socket->peerAddress();
    HttpResponse response = handler_(reader.request());
    if (response.deferred) {
        connection.replying = true;
        connection.deferred = true;
        connection.reader = HttpRequestReader(0, 0);
        connection.deadline = now + limits_.replyTimeoutMilliseconds;
        updateSweep();
        return true;
    }
    return startReply(connection, std::move(response), now);
}

bool HttpServer::startReply(Connection& connection, HttpResponse response, LoopTasks::Milliseconds now) {
    connection.replying = true;
    connection.stream = response.stream;
    connection.reader = HttpRequestReader(0, 0);
    connection.pending = toWire(response);
    connection.timed = !connection.stream;
    connection.deadline = now + limits_.replyTimeoutMilliseconds;
    updateSweep();
    return writePending(connection);
}

// True while the connection stays: part of the reply is still to go, or it is a stream.
bool HttpServer::writePending(Connection& connection) {
    while (connection.written < connection.pending.size()) {
        const std::string_view rest = std::string_view(connection.pending).substr(connection.written);
        const platform::StreamResult result = connection.socket->write(
            std::span(reinterpret_cast<const std::uint8_t*>(rest.data()), rest.size()));
        if (result.status == platform::StreamStatus::closed) return false;
        if (result.status == platform::StreamStatus::wouldBlock) {
            if (!connection.writing) loop_.setInterest(connection.task, Interest::ReadWrite);
            connection.writing = true;
            return true;
        }
        connection.written += result.bytes;
    }
    connection.pending.clear();
    connection.written = 0;
    if (!connection.stream || connection.ending) return false;
    // All written: a stream waits for its next push, watched only for its client leaving.
    if (connection.writing) loop_.setInterest(connection.task, Interest::Read);
    connection.writing = false;
    return true;
}

HttpServer::Connection* HttpServer::find(ConnectionId id) {
    const auto found = std::find_if(connections_.begin(), connections_.end(),
                                    [id](const auto& open) { return open->id == id; });
    return found == connections_.end() ? nullptr : found->get();
}

bool HttpServer::push(ConnectionId stream, std::string_view bytes) {
    Connection* connection = find(stream);
    if (connection == nullptr || !connection->stream || connection->ending) return false;
    if (connection->backlog() + bytes.size() > limits_.maxStreamBacklogBytes) {
        close(*connection);
        return false;
    }
    connection->pending += bytes;
    if (writePending(*connection)) return true;
    close(*connection);
    return false;
}

bool HttpServer::answer(ConnectionId waiting, HttpResponse response) {
    Connection* connection = find(waiting);
    if (connection == nullptr || !connection->deferred || response.deferred) return false;
    connection->deferred = false;
    // The reply keeps the deadline the request was given: a slow answer leaves less time to write.
    const LoopTasks::Milliseconds deadline = connection->deadline;
    connection->replying = true;
    connection->stream = response.stream;
    connection->pending = toWire(response);
    connection->timed = !connection->stream;
    connection->deadline = deadline;
    updateSweep();
    // A reply written whole closes the connection as well as a client that has gone does; only the
    // latter is a failure.
    if (writePending(*connection)) return true;
    const bool written = connection->pending.empty();
    close(*connection);
    return written;
}

void HttpServer::endStream(ConnectionId stream) {
    Connection* connection = find(stream);
    if (connection == nullptr || !connection->stream) return;
    connection->ending = true;
    // A client that never takes the rest is cut off like any slow reader.
    connection->timed = true;
    if (connection->backlog() == 0) {
        close(*connection);
        return;
    }
    updateSweep();
}

void HttpServer::close(Connection& connection) {
    loop_.removeSocket(connection.task);
    const ConnectionId id = connection.id;
    const bool stream = connection.stream;
    const auto found = std::find_if(connections_.begin(), connections_.end(),
                                    [&connection](const auto& open) { return open.get() == &connection; });
    if (found != connections_.end()) connections_.erase(found);
    updateSweep();
    if (stream && streamClosed_) streamClosed_(id);
}

void HttpServer::sweep(LoopTasks::Milliseconds now) {
    std::vector<Connection*> late;
    for (const std::unique_ptr<Connection>& connection : connections_) {
        if (connection->timed && now >= connection->deadline) late.push_back(connection.get());
    }
    for (Connection* connection : late) close(*connection);
}

// The sweep runs only while a connection has a deadline, so a server nobody reads (or one holding
// only quiet streams) never wakes the loop.
void HttpServer::updateSweep() {
    const bool needed = std::any_of(connections_.begin(), connections_.end(),
                                    [](const auto& open) { return open->timed; });
    if (needed && sweepTask_ == 0) {
        sweepTask_ = loop_.addPeriodic(kSweepIntervalMilliseconds, [this](LoopTasks::Milliseconds when) { sweep(when); });
    } else if (!needed && sweepTask_ != 0) {
        loop_.removePeriodic(sweepTask_);
        sweepTask_ = 0;
    }
}

}  // namespace varn
