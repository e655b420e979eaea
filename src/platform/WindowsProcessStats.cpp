#include "platform/ProcessStats.h"

namespace varn::platform {

// The Windows build has no metrics endpoint to show these.
ProcessStats readProcessStats() { return {}; }

}  // namespace varn::platform
