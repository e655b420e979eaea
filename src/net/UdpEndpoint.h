#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "config/ServerSettings.h"
#include "net/PeerAddress.h"
#include "net/ReceiveBatch.h"
#include "net/SendQueue.h"
#include "net/TrafficCounters.h"
#include "platform/DatagramSocket.h"

namespace varn {

// One bound IPv4 datagram socket with traffic totals and an optional send limit that drops what
// goes beyond a number of bytes per one-second period and shuts the endpoint when pushed too far.
//
// Datagrams go out either at once (send) or through the endpoint's send queue (queue, then
// flush), which sends them in batches. Both pass the same send limit at the moment they are given:
// queued datagrams are counted or dropped then, in order, with the same log lines, and whatever is
// queued goes out before a send(), a new send-limit period or the closing of the endpoint.
class UdpEndpoint {
public:
    using SocketFactory = std::function<std::unique_ptr<platform::DatagramSocket>()>;

    // Without send-limit settings nothing is ever dropped.
    explicit UdpEndpoint(SocketFactory socketFactory = platform::createUdpSocket);
    UdpEndpoint(const SendLimitSettings& sendLimitSettings, SocketFactory socketFactory);
    ~UdpEndpoint();
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    // Binds to port on ipText (every local address when null).
    bool open(std::int32_t portNumber, const char* ipText);
    bool close();
    bool isReadable(std::uint32_t waitMicroseconds);
    // Bytes received, 0 when not open, -1 when the receive failed (an oversized datagram included).
    std::int32_t receive(PeerAddress& from, std::uint8_t* buffer, std::size_t capacity);
    // Bytes sent, 0 when the send limit dropped the datagram, -1 when the send failed. With
    // batched sends on, the datagram is queued instead and the answer is queue()'s.
    std::int32_t send(const PeerAddress& to, const std::uint8_t* data, std::size_t length);
    // Whether send() queues its datagrams for the next flush rather than sending each at once. The
    // main loop turns this on and flushes after every batch it handles and before it waits;
    // turning it off sends what is queued.
    void setBatchedSends(bool on);
    bool batchedSends() const { return batchedSends_; }
    // Queues the datagram for the next flush (which comes by itself when the queue is full). The
    // length when queued, 0 when the send limit dropped it, -1 when the endpoint is not open. The
    // totals count a queued datagram at once; a flush takes back what did not go.
    std::int32_t queue(const PeerAddress& to, const std::uint8_t* data, std::size_t length);
    // Sends everything queued, in order, in as few system calls as the platform allows.
    void flush();
    std::size_t queuedDatagrams() const { return sendQueue_->size(); }
    // Receives what is waiting into the batch, at most maxDatagrams entries (and at most the
    // batch's capacity); returns the number of entries. A closed endpoint gives one "nothing more".
    std::size_t receiveBatch(ReceiveBatch& batch, std::size_t maxDatagrams);
    void resetSendPeriod();
    // Asks for a receive buffer of this many bytes; the size the system granted, -1 when it cannot
    // say (or the endpoint is not open).
    int setReceiveBufferBytes(int bytes);
    // Told the length of every datagram the send limit drops, after its warning line.
    void setDropObserver(std::function<void(std::size_t)> observer) { dropObserver_ = std::move(observer); }

    // The handle the loop's readiness wait watches; kNoWaitHandle when closed.
    platform::WaitHandle waitHandle() const;
    // Since the endpoint was made; unlike the byte totals below, an open does not start them again.
    TrafficCounters traffic() const {
        TrafficCounters counters = traffic_;
        counters.bytesReceived = bytesReceivedBeforeOpen_ + bytesReceived;
        counters.bytesSent = bytesSentBeforeOpen_ + bytesSent;
        return counters;
    }

    PeerAddress bindAddress;
    bool isOpen = false;
    // 64 bits wide so a long-running server never reports wrapped totals.
    std::uint64_t bytesReceived = 0;
    std::uint64_t bytesSent = 0;
    std::int32_t port = 0;
    bool sendLimitActive = false;
    std::uint32_t sendLimit = 0;
    std::uint32_t sendMaxAllowed = 0;
    std::uint32_t periodSent = 0;
    std::uint32_t periodSentAndDropped = 0;

private:
    std::int32_t sendNow(const PeerAddress& to, const std::uint8_t* data, std::size_t length);
    void dropDatagram(std::size_t length);
    void countReceived(const platform::ReceiveResult& result);

    bool logDropped_ = false;
    SocketFactory socketFactory_;
    std::unique_ptr<platform::DatagramSocket> socket_;
    std::unique_ptr<SendQueue> sendQueue_ = std::make_unique<SendQueue>();
    bool batchedSends_ = false;
    std::function<void(std::size_t)> dropObserver_;
    // The byte counts come from the totals above (and those of the opens before), so a send pays
    // for one more count only.
    TrafficCounters traffic_;
    std::uint64_t bytesReceivedBeforeOpen_ = 0;
    std::uint64_t bytesSentBeforeOpen_ = 0;
};

}  // namespace varn
