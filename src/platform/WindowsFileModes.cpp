#include "platform/FileModes.h"

namespace varn::platform {

// Access to a file on Windows is ruled by its access list, which these checks do not read.
std::optional<unsigned> modeReadableByOthers(const std::string&) { return std::nullopt; }

}  // namespace varn::platform
