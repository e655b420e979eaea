#include "net/SendQueue.h"

#include <cstring>
#include <span>

namespace varn {

bool SendQueue::push(const PeerAddress& to, const std::uint8_t* data, std::size_t length) {
    if (!hasRoomFor(length)) return false;
    std::uint8_t* copy = store_.data() + used_;
    if (length > 0) std::memcpy(copy, data, length);
    slots_[count_++] = platform::SendSlot{to.address, to.port, copy, length, -1};
    used_ += length;
    return true;
}

SendQueue::FlushTotals SendQueue::flush(platform::DatagramSocket& socket) {
    FlushTotals totals;
    if (count_ == 0) return totals;
    const std::span<platform::SendSlot> queued(slots_.data(), count_);
    socket.sendBatch(queued);
    for (const platform::SendSlot& slot : queued) {
        const std::size_t went = slot.sent > 0 ? static_cast<std::size_t>(slot.sent) : 0;
        totals.bytesSent += went;
        totals.datagramsSent += slot.sent > 0 ? 1 : 0;
        totals.bytesNotSent += slot.length > went ? slot.length - went : 0;
    }
    clear();
    return totals;
}

void SendQueue::clear() {
    count_ = 0;
    used_ = 0;
}

}  // namespace varn
