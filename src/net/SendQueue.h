#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "net/PeerAddress.h"
#include "platform/DatagramSocket.h"

namespace varn {

// Outgoing datagrams held for one batched send, in the order they were queued. Room is fixed and
// taken once: the queue copies each datagram into a byte store of its own and never allocates.
//
// The store holds datagrams back to back, each taking exactly its length, and is larger than the
// largest payload one IPv4 datagram can carry, so every datagram that can be sent at all fits into
// an empty queue whole: nothing is ever cut to fit a slot.
class SendQueue {
public:
    // Datagrams per batch.
    static constexpr std::size_t kMaxDatagrams = 256;
    // The largest UDP payload over IPv4 (65535 less the IPv4 and UDP headers).
    static constexpr std::size_t kLargestDatagram = 65507;
    static constexpr std::size_t kStoreBytes = 65536;
    static_assert(kStoreBytes >= kLargestDatagram);

    // What one flush came to.
    struct FlushTotals {
        std::uint64_t bytesSent = 0;
        std::uint64_t datagramsSent = 0;
        // Bytes queued that did not go (failed datagrams, and any part of one the system left).
        std::uint64_t bytesNotSent = 0;
    };

    SendQueue() = default;
    SendQueue(const SendQueue&) = delete;
    SendQueue& operator=(const SendQueue&) = delete;

    bool empty() const { return count_ == 0; }
    bool full() const { return count_ == kMaxDatagrams; }
    std::size_t size() const { return count_; }
    bool hasRoomFor(std::size_t length) const { return count_ < kMaxDatagrams && length <= kStoreBytes - used_; }

    // Copies the datagram to the end of the queue; false, and nothing queued, without room for it.
    bool push(const PeerAddress& to, const std::uint8_t* data, std::size_t length);
    // Sends everything queued, in order, with the socket's batched send, and empties the queue.
    FlushTotals flush(platform::DatagramSocket& socket);
    // Empties the queue without sending.
    void clear();

private:
    std::array<platform::SendSlot, kMaxDatagrams> slots_{};
    std::array<std::uint8_t, kStoreBytes> store_{};
    std::size_t count_ = 0;
    std::size_t used_ = 0;
};

}  // namespace varn
