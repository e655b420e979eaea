#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varn {

struct HttpHeader {
    std::string name;
    std::string value;
};

// One request as read off a connection: the request line split up, the headers as sent (names
// compared without regard to case), and the body when Content-Length announced one.
struct HttpRequest {
    std::string method;
    // The target as sent, and its path with %XX escapes decoded (never holding a NUL) and the query
    // after '?' as sent.
    std::string target;
    std::string path;
    std::string query;
    std::vector<HttpHeader> headers;
    std::string body;
    // Which connection sent it, for a handler that answers with a stream (see HttpServer::push).
    std::uint64_t connection = 0;
    // The client's IPv4 address (network byte order) as the connection came from; 0 when unknown.
    std::uint32_t peerAddress = 0;

    // The first header of that name (any case), or empty.
    std::string_view header(std::string_view name) const;
};

// One reply. Content-Type, Content-Length and "Connection: close" are written by toWire; headers
// holds the others (ETag, Cache-Control, Set-Cookie, Allow, ...).
struct HttpResponse {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::vector<HttpHeader> headers;
    std::string body;
    // The connection stays open after the body, and what HttpServer::push sends for it follows
    // (Server-Sent Events and the like): no Content-Length is written.
    bool stream = false;
    // The handler answers later, through HttpServer::answer, when what the reply needs has arrived
    // (another server's answer); nothing of this response is sent.
    bool deferred = false;

    static HttpResponse text(int status, std::string body);
    static HttpResponse later();
    HttpResponse& with(std::string name, std::string value);
};

// The reason phrase of a status code this tree answers with; "Unknown" for any other.
std::string_view httpStatusText(int status);

// The reply's bytes: status line, headers, empty line, body.
std::string toWire(const HttpResponse& response);

// For a reply that carries an ETag: a request whose If-None-Match names it (or "*") gets 304 Not
// Modified with the same headers and no body. True when the reply was turned into that.
bool answerNotModified(const HttpRequest& request, HttpResponse& response);

// Reads one request from the bytes of a connection as they come: the head (request line and headers,
// at most maxHeadBytes, ended by an empty line with CRLF or bare LF line ends) and a body of at most
// maxBodyBytes by Content-Length. Chunked bodies are refused. What the request is not (a reason to
// refuse it) is given as the status code to answer with.
class HttpRequestReader {
public:
    enum class State : std::uint8_t { incomplete, complete, failed };

    HttpRequestReader(std::size_t maxHeadBytes, std::size_t maxBodyBytes);

    // Takes the bytes that arrived; returns the state after them. Bytes past a complete request are
    // ignored (one request per connection).
    State feed(std::string_view bytes);
    State state() const { return state_; }
    // How many more bytes feed can take before the limits are hit; reads never need to ask for more.
    std::size_t room() const;

    // Valid once complete.
    const HttpRequest& request() const { return request_; }
    HttpRequest& request() { return request_; }
    // Valid once failed: 400, 411, 413, 431 or 501.
    int failure() const { return failure_; }

private:
    State parseHead(std::string_view head);
    State fail(int status);

    std::size_t maxHeadBytes_;
    std::size_t maxBodyBytes_;
    std::string buffer_;
    bool headDone_ = false;
    std::size_t bodyLength_ = 0;
    State state_ = State::incomplete;
    int failure_ = 0;
    HttpRequest request_;
};

}  // namespace varn
