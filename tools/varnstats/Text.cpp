#include "Text.h"

#include <cstdio>

namespace varnstats {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at the start of bytes, 0 when there is none.
std::size_t utf8SequenceLength(std::string_view bytes) {
    const auto lead = static_cast<unsigned char>(bytes[0]);
    std::size_t length = 0;
    unsigned minimum = 0;
    unsigned value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (bytes.size() < length) return 0;
    for (std::size_t index = 1; index < length; ++index) {
        const auto next = static_cast<unsigned char>(bytes[index]);
        if ((next & 0xC0u) != 0x80u) return 0;
        value = (value << 6) | (next & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    // C1 control characters are not text either.
    if (value >= 0x80 && value <= 0x9F) return 0;
    return length;
}

}  // namespace

std::string readableText(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    while (!bytes.empty()) {
        const auto byte = static_cast<unsigned char>(bytes[0]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7F) {
                text += kReplacement;
            } else {
                text += static_cast<char>(byte);
            }
            bytes.remove_prefix(1);
            continue;
        }
        if (const std::size_t length = utf8SequenceLength(bytes); length > 0) {
            text += bytes.substr(0, length);
            bytes.remove_prefix(length);
            continue;
        }
        if (byte < 0xA0) {
            text += kReplacement;
        } else {
            text += static_cast<char>(0xC0 | (byte >> 6));
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
        bytes.remove_prefix(1);
    }
    return text;
}

std::string printableExcerpt(std::string_view bytes, std::size_t limit) {
    std::string text;
    for (std::size_t index = 0; index < bytes.size() && index < limit; ++index) {
        const auto byte = static_cast<unsigned char>(bytes[index]);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            text += static_cast<char>(byte);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        }
    }
    if (bytes.size() > limit) text += "...";
    return text;
}

}  // namespace varnstats
