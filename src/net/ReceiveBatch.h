#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "net/PeerAddress.h"
#include "platform/DatagramSocket.h"

namespace varn {

class UdpEndpoint;

// The datagrams of one batched receive, in the order the socket delivered them, each in a buffer
// of its own. An entry is a datagram, a failed receive to skip (an oversized datagram refused), or
// "nothing more": the socket is empty for now, and that entry is the last of the batch.
class ReceiveBatch {
public:
    // Entries per batch.
    static constexpr std::size_t kCapacity = 64;
    // The longest datagram the server takes; a longer one is refused, never cut.
    static constexpr std::size_t kDatagramBytes = 1024;

    struct Entry {
        platform::ReceiveStatus status = platform::ReceiveStatus::nothingMore;
        PeerAddress from;
        // The datagram's bytes; only the first `length` of them belong to it.
        const std::uint8_t* data = nullptr;
        std::size_t length = 0;
    };

    ReceiveBatch() {
        for (std::size_t index = 0; index < kCapacity; ++index) {
            slots_[index].buffer = buffers_.data() + index * kDatagramBytes;
            slots_[index].capacity = kDatagramBytes;
        }
    }
    // The slots point into the batch's own buffers.
    ReceiveBatch(const ReceiveBatch&) = delete;
    ReceiveBatch& operator=(const ReceiveBatch&) = delete;

    std::size_t size() const { return size_; }
    Entry operator[](std::size_t index) const {
        const platform::ReceiveSlot& slot = slots_[index];
        return {slot.result.status, PeerAddress{slot.result.address, slot.result.port}, slot.buffer, slot.result.length};
    }
    // True when the socket said "nothing more" in this batch.
    bool socketEmpty() const {
        return size_ > 0 && slots_[size_ - 1].result.status == platform::ReceiveStatus::nothingMore;
    }

private:
    friend class UdpEndpoint;

    // The first slots, at most maxDatagrams of them, ready for a receive; the batch is emptied.
    std::span<platform::ReceiveSlot> prepare(std::size_t maxDatagrams) {
        size_ = 0;
        return {slots_.data(), maxDatagrams < kCapacity ? maxDatagrams : kCapacity};
    }
    void settle(std::size_t size) { size_ = size; }

    std::array<std::uint8_t, kCapacity * kDatagramBytes> buffers_{};
    std::array<platform::ReceiveSlot, kCapacity> slots_{};
    std::size_t size_ = 0;
};

}  // namespace varn
