#pragma once

#include <optional>
#include <string>

namespace varn::platform {

// The permission bits of a file (0644, say) when they let users other than its owner read it, by
// its group or by everybody; none when only its owner may read it, when it cannot be looked at, and
// on systems without such bits.
std::optional<unsigned> modeReadableByOthers(const std::string& path);

}  // namespace varn::platform
