#include "support/FakeNetwork.h"

#include <algorithm>

namespace varn::testing {

namespace {

class FakeSocket final : public platform::DatagramSocket {
public:
    FakeSocket(FakeNetwork& network, int index) : network_(network), index_(index) {}

    bool create() override {
        const bool refused = network_.failLibraryStart || network_.failCreate;
        closed_ = refused;
        return !refused;
    }
    std::string_view libraryFailureLine() const override {
        return network_.failLibraryStart ? "ERROR: Unable to complete WSAStartup ()." : "";
    }
    bool bind(std::uint32_t, std::uint16_t port) override {
        port_ = port;
        return !network_.failBind;
    }
    std::error_code bindError() const override { return network_.failBind ? network_.bindError : std::error_code{}; }
    bool setNonBlocking() override { return true; }
    bool waitReadable(std::uint32_t) override { return nextInbound() != network_.inbound.end(); }
    int receiveFrom(std::uint8_t* buffer, std::size_t capacity, std::uint32_t& address,
                    std::uint16_t& port) override {
        const platform::ReceiveResult result = receive(buffer, capacity);
        address = result.address;
        port = result.port;
        return result.status == platform::ReceiveStatus::datagram ? static_cast<int>(result.length) : -1;
    }
    platform::ReceiveResult receive(std::uint8_t* buffer, std::size_t capacity) override {
        platform::ReceiveResult result;
        const auto next = nextInbound();
        if (next == network_.inbound.end()) return result;
        FakeNetwork::Datagram datagram = *next;
        network_.inbound.erase(next);
        result.address = datagram.peer.address;
        result.port = datagram.peer.port;
        if (datagram.bytes.size() > capacity) {
            result.status = platform::ReceiveStatus::failed;
            return result;
        }
        std::copy(datagram.bytes.begin(), datagram.bytes.end(), buffer);
        result.status = platform::ReceiveStatus::datagram;
        result.length = datagram.bytes.size();
        return result;
    }
    int sendTo(std::uint32_t address, std::uint16_t port, const std::uint8_t* data,
               std::size_t length) override {
        const PeerAddress to{address, port};
        if (closed_) return -1;
        if (std::find(network_.unreachable.begin(), network_.unreachable.end(), to) != network_.unreachable.end()) {
            return -1;
        }
        network_.sent.push_back({index_, to, std::vector<std::uint8_t>(data, data + length)});
        return static_cast<int>(length);
    }
    void sendBatch(std::span<platform::SendSlot> slots) override {
        network_.sendBatches.push_back(slots.size());
        platform::DatagramSocket::sendBatch(slots);
    }
    void close() override { closed_ = true; }
    platform::WaitHandle waitHandle() const override { return platform::kNoWaitHandle; }
    std::uint16_t localPort() const override { return port_; }

private:
    std::deque<FakeNetwork::Datagram>::iterator nextInbound() {
        for (auto it = network_.inbound.begin(); it != network_.inbound.end(); ++it) {
            if (it->socket == index_) return it;
        }
        return network_.inbound.end();
    }

    FakeNetwork& network_;
    int index_;
    std::uint16_t port_ = 0;
    bool closed_ = true;
};

}  // namespace

UdpEndpoint::SocketFactory FakeNetwork::factory() {
    return [this]() -> std::unique_ptr<platform::DatagramSocket> {
        return std::make_unique<FakeSocket>(*this, socketsCreated++);
    };
}

std::vector<std::vector<std::uint8_t>> FakeNetwork::sentTo(const PeerAddress& peer) const {
    std::vector<std::vector<std::uint8_t>> result;
    for (const auto& datagram : sent) {
        if (datagram.peer == peer) result.push_back(datagram.bytes);
    }
    return result;
}

std::vector<std::uint8_t> bytesOf(std::initializer_list<int> values) {
    std::vector<std::uint8_t> bytes;
    for (int value : values) bytes.push_back(static_cast<std::uint8_t>(value));
    return bytes;
}

}  // namespace varn::testing
