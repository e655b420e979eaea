#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <system_error>
#include <vector>

#include "net/PeerAddress.h"
#include "net/UdpEndpoint.h"
#include "platform/DatagramSocket.h"

namespace varn::testing {

// What the fake sockets of one test saw: every datagram sent, in order, and the datagrams queued
// for them to receive. A receive says "nothing more" when nothing is queued for its socket and
// refuses (consumes and fails) a datagram longer than the buffer, as the real sockets do.
struct FakeNetwork {
    struct Datagram {
        int socket;  // which fake socket (in creation order) sent or receives it
        PeerAddress peer;
        std::vector<std::uint8_t> bytes;
    };

    std::vector<Datagram> sent;
    std::deque<Datagram> inbound;
    // Sends to these peers fail, as to a destination the system refuses.
    std::vector<PeerAddress> unreachable;
    // The number of datagrams in each batched send, in order.
    std::vector<std::size_t> sendBatches;
    int socketsCreated = 0;
    bool failLibraryStart = false;
    bool failCreate = false;
    bool failBind = false;
    std::error_code bindError;  // what a failed bind reports

    // A factory for UdpEndpoint that makes fake sockets reporting to this network.
    UdpEndpoint::SocketFactory factory();

    // The datagrams sent to one peer, in order.
    std::vector<std::vector<std::uint8_t>> sentTo(const PeerAddress& peer) const;
    void clearSent() { sent.clear(); }
};

std::vector<std::uint8_t> bytesOf(std::initializer_list<int> values);

}  // namespace varn::testing
