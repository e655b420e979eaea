#include "net/UdpEndpoint.h"

#include <string>
#include <system_error>

#include "log/ServerLog.h"

namespace varn {

UdpEndpoint::UdpEndpoint(SocketFactory socketFactory)
    : UdpEndpoint(SendLimitSettings{}, std::move(socketFactory)) {}

// The limits are read as unsigned counts: a missing number (-1) is the largest.
UdpEndpoint::UdpEndpoint(const SendLimitSettings& sendLimitSettings, SocketFactory socketFactory)
    : logDropped_(sendLimitSettings.logDropped), socketFactory_(std::move(socketFactory)) {
    if (sendLimitSettings.enabled) {
        sendLimit = static_cast<std::uint32_t>(sendLimitSettings.bytesPerPeriod);
        sendLimitActive = sendLimit != 0;
    }
    sendMaxAllowed = static_cast<std::uint32_t>(sendLimitSettings.maxAllowed);
}

UdpEndpoint::~UdpEndpoint() { close(); }

bool UdpEndpoint::open(std::int32_t portNumber, const char* ipText) {
    if (isOpen) close();
    if (portNumber <= 0) return isOpen;
    bytesReceivedBeforeOpen_ += bytesReceived;
    bytesSentBeforeOpen_ += bytesSent;
    bytesReceived = 0;
    bytesSent = 0;
    socket_ = socketFactory_();
    // The socket holds the system's socket library; dropping the socket on a failure releases it.
    if (!socket_ || !socket_->create()) {
        const std::string_view libraryFailure = socket_ ? socket_->libraryFailureLine() : std::string_view{};
        ServerLog::instance().line(libraryFailure.empty() ? "ERROR: Unable to get an open socket." : libraryFailure);
        socket_.reset();
        return false;
    }
    const std::uint32_t address = ipText != nullptr ? addressFromText(ipText) : 0;
    bindAddress = PeerAddress{address, PeerAddress::fromHostOrder(0, static_cast<std::uint16_t>(portNumber)).port};
    port = portNumber;
    // A port above 65535 or an address text that does not convert is never bound to something
    // the operator did not name.
    std::string reason;
    if (portNumber > kHighestPort) {
        reason = "the port is above " + std::to_string(kHighestPort);
    } else if (address == kNoAddress) {
        reason = "not an IPv4 address";
    } else if (!socket_->bind(bindAddress.address, bindAddress.port)) {
        const std::error_code error = socket_->bindError();
        reason = error ? error.message() : "reason unknown";
    }
    if (!reason.empty()) {
        socket_.reset();
        auto& log = ServerLog::instance();
        log.line("ERROR: Unable to bind to the socket.");
        log.diagnostic("varnserver: ", ipText != nullptr ? ipText : "0.0.0.0", ":", portNumber, ": ", reason);
        return false;
    }
    isOpen = true;
    return true;
}

bool UdpEndpoint::close() {
    if (isOpen) {
        flush();
        socket_->close();
        isOpen = false;
    }
    return true;
}

bool UdpEndpoint::isReadable(std::uint32_t waitMicroseconds) {
    if (!isOpen) return false;
    return socket_->waitReadable(waitMicroseconds);
}

std::int32_t UdpEndpoint::receive(PeerAddress& from, std::uint8_t* buffer, std::size_t capacity) {
    if (!isOpen) return 0;
    const int received = socket_->receiveFrom(buffer, capacity, from.address, from.port);
    if (received > 0) {
        bytesReceived += static_cast<std::uint64_t>(received);
        ++traffic_.datagramsReceived;
    }
    return received;
}

std::int32_t UdpEndpoint::send(const PeerAddress& to, const std::uint8_t* data, std::size_t length) {
    return batchedSends_ ? queue(to, data, length) : sendNow(to, data, length);
}

void UdpEndpoint::setBatchedSends(bool on) {
    batchedSends_ = on;
    if (!on) flush();
}

std::int32_t UdpEndpoint::sendNow(const PeerAddress& to, const std::uint8_t* data, std::size_t length) {
    // A closed endpoint sends nothing; once the limit has shut it, the rest of the pass's sends must
    // not repeat the shut-down line.
    if (!isOpen || !socket_) return -1;
    if (sendLimitActive && periodSent >= sendLimit) {
        dropDatagram(length);
        return 0;
    }
    // What is queued goes first, so that every recipient gets its datagrams in the order given.
    flush();
    const int sent = socket_->sendTo(to.address, to.port, data, length);
    if (sent > 0) {
        const auto count = static_cast<std::uint32_t>(sent);
        bytesSent += count;
        periodSent += count;
        periodSentAndDropped += count;
        ++traffic_.datagramsSent;
    }
    return sent;
}

void UdpEndpoint::dropDatagram(std::size_t length) {
    ++traffic_.datagramsDropped;
    periodSentAndDropped += static_cast<std::uint32_t>(length);
    auto& log = ServerLog::instance();
    if (logDropped_) {
        log.line("SERVER-WARNING: ", static_cast<std::uint64_t>(length),
                 " bytes dropped due to exceeding limit.");
    }
    if (dropObserver_) dropObserver_(length);
    if (sendMaxAllowed != 0 && periodSentAndDropped > sendMaxAllowed) {
        log.line(
            "SERVER-ERROR: Maximum allowed send limit (sent/dropped) per reset hit.  Server will shut down.");
        close();
    }
}

void UdpEndpoint::resetSendPeriod() {
    // Queued datagrams belong to the period that counted them.
    flush();
    periodSent = 0;
    periodSentAndDropped = 0;
}

std::int32_t UdpEndpoint::queue(const PeerAddress& to, const std::uint8_t* data, std::size_t length) {
    if (!isOpen || !socket_) return -1;
    // No datagram that long can be sent: it takes the immediate way and fails there, as it always has.
    if (length > SendQueue::kLargestDatagram) return sendNow(to, data, length);
    if (sendLimitActive && periodSent >= sendLimit) {
        dropDatagram(length);
        return 0;
    }
    if (!sendQueue_->hasRoomFor(length)) flush();
    sendQueue_->push(to, data, length);
    // Counted now, as send() counts what it sent, so that the limit decides every later datagram as
    // it would one by one.
    const auto count = static_cast<std::uint32_t>(length);
    bytesSent += count;
    periodSent += count;
    periodSentAndDropped += count;
    if (sendQueue_->full()) flush();
    return static_cast<std::int32_t>(length);
}

void UdpEndpoint::flush() {
    if (!isOpen || !socket_ || sendQueue_->empty()) return;
    const SendQueue::FlushTotals totals = sendQueue_->flush(*socket_);
    // A datagram that did not go counts nothing, as with send(): take back what queue() counted.
    const auto notSent = static_cast<std::uint32_t>(totals.bytesNotSent);
    bytesSent -= totals.bytesNotSent;
    traffic_.datagramsSent += totals.datagramsSent;
    periodSent -= notSent;
    periodSentAndDropped -= notSent;
}

std::size_t UdpEndpoint::receiveBatch(ReceiveBatch& batch, std::size_t maxDatagrams) {
    const std::span<platform::ReceiveSlot> slots = batch.prepare(maxDatagrams);
    if (slots.empty()) return 0;
    if (!isOpen || !socket_) {
        slots.front().result = platform::ReceiveResult{};
        batch.settle(1);
        return 1;
    }
    const std::size_t received = socket_->receiveBatch(slots);
    for (std::size_t index = 0; index < received; ++index) {
        const platform::ReceiveResult& result = slots[index].result;
        countReceived(result);
    }
    batch.settle(received);
    return received;
}

int UdpEndpoint::setReceiveBufferBytes(int bytes) {
    return isOpen && socket_ ? socket_->setReceiveBufferBytes(bytes) : -1;
}

void UdpEndpoint::countReceived(const platform::ReceiveResult& result) {
    if (result.status == platform::ReceiveStatus::datagram) {
        bytesReceived += result.length;
        ++traffic_.datagramsReceived;
        if (result.length == 0) ++traffic_.emptyReceived;
    } else if (result.status == platform::ReceiveStatus::failed && result.port != 0) {
        // A refused datagram still names its sender; a failure of the socket itself does not.
        ++traffic_.oversizedReceived;
    }
}

platform::WaitHandle UdpEndpoint::waitHandle() const {
    return isOpen && socket_ ? socket_->waitHandle() : platform::kNoWaitHandle;
}

}  // namespace varn
