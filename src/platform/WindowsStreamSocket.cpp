#include "platform/StreamSocket.h"

namespace varn::platform {

// The Windows build serves no metrics: its wait watches event handles, not sockets, and the
// endpoint is meant for Linux hosts watched by Prometheus.
std::unique_ptr<StreamListener> createTcpListener() { return nullptr; }

}  // namespace varn::platform
