#include "net/UdpEndpoint.h"

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
    if (portNumber > kHighestPort || address == kNoAddress ||
        !socket_->bind(bindAddress.address, bindAddress.port)) {
        socket_.reset();
        ServerLog::instance().line("ERROR: Unable to bind to the socket.");
        return false;
    }
    isOpen = true;
    return true;
}

bool UdpEndpoint::close() {
    if (isOpen) {
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
    if (received > 0) bytesReceived += static_cast<std::uint64_t>(received);
    return received;
}

std::int32_t UdpEndpoint::send(const PeerAddress& to, const std::uint8_t* data, std::size_t length) {
    // A closed endpoint sends nothing; once the limit has shut it, the rest of the pass's sends must
    // not repeat the shut-down line.
    if (!isOpen || !socket_) return -1;
    if (sendLimitActive && periodSent >= sendLimit) {
        dropDatagram(length);
        return 0;
    }
    const int sent = socket_->sendTo(to.address, to.port, data, length);
    if (sent > 0) {
        const auto count = static_cast<std::uint32_t>(sent);
        bytesSent += count;
        periodSent += count;
        periodSentAndDropped += count;
    }
    return sent;
}

void UdpEndpoint::dropDatagram(std::size_t length) {
    periodSentAndDropped += static_cast<std::uint32_t>(length);
    auto& log = ServerLog::instance();
    if (logDropped_) {
        log.line("SERVER-WARNING: ", static_cast<std::uint64_t>(length),
                 " bytes dropped due to exceeding limit.");
    }
    if (sendMaxAllowed != 0 && periodSentAndDropped > sendMaxAllowed) {
        log.line(
            "SERVER-ERROR: Maximum allowed send limit (sent/dropped) per reset hit.  Server will shut down.");
        close();
    }
}

void UdpEndpoint::resetSendPeriod() {
    periodSent = 0;
    periodSentAndDropped = 0;
}

platform::WaitHandle UdpEndpoint::waitHandle() const {
    return isOpen && socket_ ? socket_->waitHandle() : platform::kNoWaitHandle;
}

}  // namespace varn
