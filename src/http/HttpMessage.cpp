#include "http/HttpMessage.h"

#include <algorithm>

namespace varn {

namespace {

char lower(char letter) {
    return letter >= 'A' && letter <= 'Z' ? static_cast<char>(letter - 'A' + 'a') : letter;
}

bool sameName(std::string_view left, std::string_view right) {
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(), [](char a, char b) { return lower(a) == lower(b); });
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// The next word of the request line, up to a space.
std::string_view takeWord(std::string_view& line) {
    const std::size_t end = std::min(line.find(' '), line.size());
    const std::string_view word = line.substr(0, end);
    line.remove_prefix(std::min(end + 1, line.size()));
    return word;
}

int hexValue(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    return -1;
}

// A method is a token: letters, digits and a few marks.
bool isToken(std::string_view word) {
    return !word.empty() && std::all_of(word.begin(), word.end(), [](char letter) {
        const auto byte = static_cast<unsigned char>(letter);
        return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
               std::string_view("!#$%&'*+-.^_`|~").find(letter) != std::string_view::npos;
    });
}

// A target holds printable ASCII only; anything else must come %XX-escaped.
bool isPrintable(std::string_view word) {
    return std::all_of(word.begin(), word.end(), [](char letter) {
        const auto byte = static_cast<unsigned char>(letter);
        return byte > 0x20 && byte < 0x7F;
    });
}

// The path with its %XX escapes decoded; false for a broken escape or one that makes a NUL.
bool decodePath(std::string_view path, std::string& decoded) {
    decoded.clear();
    for (std::size_t index = 0; index < path.size(); ++index) {
        if (path[index] != '%') {
            decoded += path[index];
            continue;
        }
        if (index + 2 >= path.size()) return false;
        const int high = hexValue(path[index + 1]);
        const int low = hexValue(path[index + 2]);
        if (high < 0 || low < 0 || (high == 0 && low == 0)) return false;
        decoded += static_cast<char>(high * 16 + low);
        index += 2;
    }
    return true;
}

// Where the head ends (just past its empty line), or npos while it has not ended.
std::size_t headEnd(std::string_view bytes) {
    std::size_t lineStart = 0;
    for (std::size_t newline = bytes.find('\n'); newline != std::string_view::npos;
         newline = bytes.find('\n', lineStart)) {
        const std::size_t length = newline - lineStart;
        if (length == 0 || (length == 1 && bytes[lineStart] == '\r')) return newline + 1;
        lineStart = newline + 1;
    }
    return std::string_view::npos;
}

// A header value or name as it may be written: no line breaks, whoever made it.
void appendClean(std::string& out, std::string_view text) {
    for (const char letter : text) {
        if (letter != '\r' && letter != '\n') out += letter;
    }
}

// One entity tag of a list, without a weak marker.
std::string_view strongTag(std::string_view tag) {
    tag = trim(tag);
    if (tag.substr(0, 2) == "W/") tag.remove_prefix(2);
    return tag;
}

}  // namespace

std::string_view HttpRequest::header(std::string_view name) const {
    for (const HttpHeader& field : headers) {
        if (sameName(field.name, name)) return field.value;
    }
    return {};
}

HttpResponse HttpResponse::text(int status, std::string body) {
    HttpResponse response;
    response.status = status;
    response.body = std::move(body);
    return response;
}

HttpResponse HttpResponse::later() {
    HttpResponse response;
    response.deferred = true;
    return response;
}

HttpResponse& HttpResponse::with(std::string name, std::string value) {
    headers.push_back({std::move(name), std::move(value)});
    return *this;
}

std::string_view httpStatusText(int status) {
    switch (status) {
        case 200: return "OK";
        case 204: return "No Content";
        case 301: return "Moved Permanently";
        case 303: return "See Other";
        case 304: return "Not Modified";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 411: return "Length Required";
        case 413: return "Content Too Large";
        case 429: return "Too Many Requests";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 503: return "Service Unavailable";
        default: return "Unknown";
    }
}

std::string toWire(const HttpResponse& response) {
    // A 304 and a 204 carry no body, so they say nothing of one.
    const bool bodiless = response.status == 304 || response.status == 204;
    std::string wire = "HTTP/1.1 ";
    wire += std::to_string(response.status);
    wire += ' ';
    wire += httpStatusText(response.status);
    wire += "\r\n";
    if (!bodiless) {
        wire += "Content-Type: ";
        appendClean(wire, response.contentType);
        wire += "\r\n";
        if (!response.stream) {
            wire += "Content-Length: ";
            wire += std::to_string(response.body.size());
            wire += "\r\n";
        }
    }
    for (const HttpHeader& field : response.headers) {
        appendClean(wire, field.name);
        wire += ": ";
        appendClean(wire, field.value);
        wire += "\r\n";
    }
    wire += "Connection: close\r\n\r\n";
    if (!bodiless) wire += response.body;
    return wire;
}

bool answerNotModified(const HttpRequest& request, HttpResponse& response) {
    if (response.status != 200 || (request.method != "GET" && request.method != "HEAD")) return false;
    std::string_view tag;
    for (const HttpHeader& field : response.headers) {
        if (sameName(field.name, "ETag")) tag = field.value;
    }
    std::string_view wanted = request.header("If-None-Match");
    if (tag.empty() || wanted.empty()) return false;
    bool matched = false;
    while (!wanted.empty() && !matched) {
        const std::size_t comma = std::min(wanted.find(','), wanted.size());
        const std::string_view one = trim(wanted.substr(0, comma));
        matched = one == "*" || strongTag(one) == strongTag(tag);
        wanted.remove_prefix(std::min(comma + 1, wanted.size()));
    }
    if (!matched) return false;
    response.status = 304;
    response.body.clear();
    return true;
}

HttpRequestReader::HttpRequestReader(std::size_t maxHeadBytes, std::size_t maxBodyBytes)
    : maxHeadBytes_(maxHeadBytes), maxBodyBytes_(maxBodyBytes) {}

std::size_t HttpRequestReader::room() const {
    if (state_ != State::incomplete) return 0;
    if (!headDone_) return maxHeadBytes_ - std::min(buffer_.size(), maxHeadBytes_);
    return bodyLength_ - request_.body.size();
}

HttpRequestReader::State HttpRequestReader::fail(int status) {
    failure_ = status;
    state_ = State::failed;
    buffer_ = {};
    return state_;
}

HttpRequestReader::State HttpRequestReader::feed(std::string_view bytes) {
    if (state_ != State::incomplete) return state_;
    if (headDone_) {
        request_.body.append(bytes.substr(0, bodyLength_ - request_.body.size()));
    } else {
        // The head must end within its limit; what follows it in the same bytes is body.
        const std::size_t keep = maxHeadBytes_ + maxBodyBytes_ - std::min(buffer_.size(), maxHeadBytes_ + maxBodyBytes_);
        buffer_.append(bytes.substr(0, keep));
        const std::size_t end = headEnd(buffer_);
        if (end == std::string::npos || end > maxHeadBytes_) {
            if (buffer_.size() >= maxHeadBytes_) return fail(431);
            return state_;
        }
        if (parseHead(std::string_view(buffer_).substr(0, end)) == State::failed) return state_;
        headDone_ = true;
        request_.body = buffer_.substr(end, bodyLength_);
        buffer_ = {};
    }
    if (request_.body.size() >= bodyLength_) state_ = State::complete;
    return state_;
}

HttpRequestReader::State HttpRequestReader::parseHead(std::string_view head) {
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        const std::size_t newline = std::min(head.find('\n'), head.size());
        std::string_view line = head.substr(0, newline);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) lines.push_back(line);
        head.remove_prefix(std::min(newline + 1, head.size()));
    }
    if (lines.empty()) return fail(400);
    std::string_view requestLine = lines.front();
    const std::string_view method = takeWord(requestLine);
    const std::string_view target = takeWord(requestLine);
    const std::string_view version = requestLine;
    if (!isToken(method) || target.empty() || !isPrintable(target) || version.substr(0, 7) != "HTTP/1." ||
        target.front() != '/') {
        return fail(400);
    }
    request_.method = method;
    request_.target = target;
    const std::size_t question = std::min(target.find('?'), target.size());
    request_.query = target.substr(std::min(question + 1, target.size()));
    if (!decodePath(target.substr(0, question), request_.path)) return fail(400);

    bool lengthSeen = false;
    for (std::size_t index = 1; index < lines.size(); ++index) {
        const std::string_view line = lines[index];
        const std::size_t colon = line.find(':');
        // A folded line (starting with white space) or a name with white space is refused, as a
        // proxy in front could read it otherwise.
        if (colon == std::string_view::npos || colon == 0 || line.front() == ' ' || line.front() == '\t') {
            return fail(400);
        }
        const std::string_view name = line.substr(0, colon);
        if (name.find_first_of(" \t") != std::string_view::npos) return fail(400);
        const std::string_view value = trim(line.substr(colon + 1));
        if (sameName(name, "Transfer-Encoding")) return fail(501);
        if (sameName(name, "Content-Length")) {
            if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string_view::npos) {
                return fail(400);
            }
            std::size_t length = 0;
            for (const char digit : value) length = length * 10 + static_cast<std::size_t>(digit - '0');
            if (lengthSeen && length != bodyLength_) return fail(400);
            if (length > maxBodyBytes_) return fail(413);
            lengthSeen = true;
            bodyLength_ = length;
        }
        request_.headers.push_back({std::string(name), std::string(value)});
    }
    return state_;
}

}  // namespace varn
