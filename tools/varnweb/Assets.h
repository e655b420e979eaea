#pragma once

#include <string_view>

namespace varnweb {

// The console's script and style sheet, served as files of their own so that the pages need no
// inline script or style.
std::string_view consoleScript();
std::string_view consoleStyle();

}  // namespace varnweb
