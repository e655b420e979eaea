#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace varnweb {

// The fields of an application/x-www-form-urlencoded body or query ('+' as a space, %XX decoded); a
// field given twice keeps its first value. Nothing when an escape is malformed or a value holds a NUL.
std::optional<std::map<std::string, std::string, std::less<>>> parseForm(std::string_view body);

// The value of one cookie of a Cookie header; empty when it is not there.
std::string cookieValue(std::string_view header, std::string_view name);

// Text that shows as itself inside HTML elements and quoted attributes.
std::string escapeHtml(std::string_view text);

// Bytes from the system's random source as hexadecimal; empty when the source fails.
std::string randomToken(std::size_t bytes);

// Compares two texts in time that depends only on their lengths.
bool sameText(std::string_view given, std::string_view expected);

}  // namespace varnweb
