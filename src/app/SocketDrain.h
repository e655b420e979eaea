#pragma once

#include <cstddef>
#include <cstdint>

#include "net/ReceiveBatch.h"
#include "net/UdpEndpoint.h"

namespace varn {

// Reads one socket for one pass of the main loop: batch after batch, each datagram handed to
// handle(firstByte, rest, from, length) in arrival order and flush() called after each batch, so
// that what the batch queued goes out before the next read. It stops when the socket says
// "nothing more", when budget datagrams have been read (refused ones included), or when the
// endpoint has closed (the send limit may shut it in the middle of a batch; the rest is left
// unread). A refused (too long) or empty datagram is skipped. True when the budget ran out first,
// so that the socket may still hold datagrams for the next pass.
template <typename Handle, typename Flush>
bool drainForOnePass(UdpEndpoint& endpoint, ReceiveBatch& batch, std::size_t budget, Handle&& handle,
                     Flush&& flush) {
    while (budget > 0 && endpoint.isOpen) {
        const std::size_t received = endpoint.receiveBatch(batch, budget);
        for (std::size_t index = 0; index < received && endpoint.isOpen; ++index) {
            const ReceiveBatch::Entry entry = batch[index];
            if (entry.status != platform::ReceiveStatus::datagram || entry.length < 1) continue;
            handle(entry.data[0], entry.data + 1, entry.from, static_cast<std::int32_t>(entry.length));
        }
        flush();
        if (received == 0 || batch.socketEmpty()) return false;
        budget -= received < budget ? received : budget;
    }
    return budget == 0;
}

}  // namespace varn
