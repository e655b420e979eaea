#include "varnweb/Forms.h"

#include <sys/random.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace varnweb {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> decodeComponent(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t index = 0; index < text.size(); ++index) {
        const char c = text[index];
        if (c == '+') {
            decoded.push_back(' ');
        } else if (c == '%') {
            if (index + 2 >= text.size()) return std::nullopt;
            const int high = hexDigit(text[index + 1]);
            const int low = hexDigit(text[index + 2]);
            if (high < 0 || low < 0 || (high == 0 && low == 0)) return std::nullopt;
            decoded.push_back(static_cast<char>(high * 16 + low));
            index += 2;
        } else {
            decoded.push_back(c);
        }
    }
    return decoded;
}

}  // namespace

std::optional<std::map<std::string, std::string, std::less<>>> parseForm(std::string_view body) {
    std::map<std::string, std::string, std::less<>> fields;
    while (!body.empty()) {
        const std::size_t end = body.find('&');
        const std::string_view pair = body.substr(0, end);
        body = end == std::string_view::npos ? std::string_view() : body.substr(end + 1);
        if (pair.empty()) continue;
        const std::size_t equals = pair.find('=');
        const auto name = decodeComponent(pair.substr(0, equals));
        const auto value = decodeComponent(equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1));
        if (!name || !value) return std::nullopt;
        fields.emplace(*name, *value);
    }
    return fields;
}

std::string cookieValue(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const std::size_t end = header.find(';');
        std::string_view pair = header.substr(0, end);
        header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
        while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
        const std::size_t equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
            return std::string(pair.substr(equals + 1));
        }
    }
    return {};
}

std::string escapeHtml(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': escaped += "&amp;"; break;
            case '<': escaped += "&lt;"; break;
            case '>': escaped += "&gt;"; break;
            case '"': escaped += "&quot;"; break;
            case '\'': escaped += "&#39;"; break;
            default: escaped.push_back(c);
        }
    }
    return escaped;
}

std::string randomToken(std::size_t bytes) {
    std::vector<std::uint8_t> random(bytes);
    std::size_t filled = 0;
    while (filled < bytes) {
        const ssize_t got = ::getrandom(random.data() + filled, bytes - filled, 0);
        if (got <= 0) return {};
        filled += static_cast<std::size_t>(got);
    }
    std::string token;
    for (const std::uint8_t byte : random) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        token += pair;
    }
    return token;
}

bool sameText(std::string_view given, std::string_view expected) {
    if (given.size() != expected.size()) return false;
    unsigned char difference = 0;
    for (std::size_t index = 0; index < given.size(); ++index) {
        difference |= static_cast<unsigned char>(given[index] ^ expected[index]);
    }
    return difference == 0;
}

}  // namespace varnweb
