#include "platform/DatagramSocket.h"

namespace varn::platform {

ReceiveResult DatagramSocket::receive(std::uint8_t* buffer, std::size_t capacity) {
    ReceiveResult result;
    const int received = receiveFrom(buffer, capacity, result.address, result.port);
    if (received >= 0) {
        result.status = ReceiveStatus::datagram;
        result.length = static_cast<std::size_t>(received);
    } else {
        result.status = waitReadable(0) ? ReceiveStatus::failed : ReceiveStatus::nothingMore;
    }
    return result;
}

std::size_t DatagramSocket::receiveBatch(std::span<ReceiveSlot> slots) {
    std::size_t filled = 0;
    while (filled < slots.size()) {
        ReceiveSlot& slot = slots[filled++];
        slot.result = receive(slot.buffer, slot.capacity);
        if (slot.result.status == ReceiveStatus::nothingMore) break;
    }
    return filled;
}

void DatagramSocket::sendBatch(std::span<SendSlot> slots) {
    for (SendSlot& slot : slots) slot.sent = sendTo(slot.address, slot.port, slot.data, slot.length);
}

}  // namespace varn::platform
