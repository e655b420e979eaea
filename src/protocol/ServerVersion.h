#pragma once

#include <string_view>

namespace varn {

// The server's own version, as its version line ends it ("(Server: 0.3.1)") and the metrics'
// varn_build_info shows it.
inline constexpr std::string_view kServerVersion = "0.3.1";

}  // namespace varn
