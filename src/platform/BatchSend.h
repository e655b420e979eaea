#pragma once

#include <cstddef>
#include <span>

#include "platform/DatagramSocket.h"

namespace varn::platform {

// Sends the slots in order through sendSome, which hands a prefix of the slots it is given to the
// system in one call and returns how many of them went (having set their `sent`), or a number
// below 1 when the first of them could not go. A partial send goes on with the rest; a datagram
// that cannot go is marked and skipped, so one bad destination never costs the others. Every
// round settles at least one slot, so the loop ends after at most one round per slot.
template <typename SendSome>
void sendInOrder(std::span<SendSlot> slots, SendSome&& sendSome) {
    std::size_t next = 0;
    while (next < slots.size()) {
        const std::span<SendSlot> rest = slots.subspan(next);
        const auto went = sendSome(rest);
        if (went > 0) {
            next += static_cast<std::size_t>(went) < rest.size() ? static_cast<std::size_t>(went) : rest.size();
        } else {
            rest.front().sent = -1;
            ++next;
        }
    }
}

}  // namespace varn::platform
