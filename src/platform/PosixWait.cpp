#include <poll.h>

#include <array>

#include "platform/Wait.h"

namespace varn::platform {

void waitForInput(std::span<const WaitHandle> handles, int timeoutMilliseconds) {
    std::array<pollfd, 8> entries{};
    nfds_t count = 0;
    for (WaitHandle handle : handles) {
        if (handle < 0 || count == entries.size()) continue;
        entries[count++] = pollfd{handle, POLLIN, 0};
    }
    poll(entries.data(), count, timeoutMilliseconds < 0 ? 0 : timeoutMilliseconds);
}

}  // namespace varn::platform
