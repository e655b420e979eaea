#pragma once

#include <string>
#include <string_view>

namespace varnstats {

// Text for HTML and SVG, in element content and in quoted attribute values alike.
std::string escapeHtml(std::string_view text);

}  // namespace varnstats
