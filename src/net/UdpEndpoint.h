#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "config/ServerSettings.h"
#include "net/PeerAddress.h"
#include "platform/DatagramSocket.h"

namespace varn {

// One bound IPv4 datagram socket with traffic totals and an optional send limit that drops what
// goes beyond a number of bytes per one-second period and shuts the endpoint when pushed too far.
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
    // Bytes sent, 0 when the send limit dropped the datagram, -1 when the send failed.
    std::int32_t send(const PeerAddress& to, const std::uint8_t* data, std::size_t length);
    void resetSendPeriod();

    // The handle the loop's readiness wait watches; kNoWaitHandle when closed.
    platform::WaitHandle waitHandle() const;

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
    void dropDatagram(std::size_t length);

    bool logDropped_ = false;
    SocketFactory socketFactory_;
    std::unique_ptr<platform::DatagramSocket> socket_;
};

}  // namespace varn
