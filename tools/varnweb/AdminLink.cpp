#include "varnweb/AdminLink.h"

#include <algorithm>
#include <array>

#include "protocol/AdminProtocol.h"
#include "protocol/GameProtocol.h"

namespace varnweb {

namespace {
constexpr std::size_t kReceiveBufferSize = 2048;
// Datagrams taken in one pass, so that a flood from the server cannot hold the console's loop.
constexpr int kReceivesPerPass = 64;
}  // namespace

AdminLink::AdminLink(varn::LoopTasks& loop, std::uint32_t serverAddress, std::uint16_t serverPort)
    : loop_(loop), serverAddress_(serverAddress), serverPort_(serverPort) {}

AdminLink::~AdminLink() {
    // Whoever still waits is not told: its owner may be going too. Owners expire() first.
    if (task_ != 0) loop_.removeSocket(task_);
}

bool AdminLink::open() {
    socket_ = varn::platform::createUdpSocket();
    if (!socket_ || !socket_->create() || !socket_->bind(0, 0) || !socket_->setNonBlocking()) return false;
    task_ = loop_.addSocket(socket_->waitHandle(), varn::Interest::Read,
                            [this](varn::Readiness, Milliseconds now) { receive(now); });
    return true;
}

void AdminLink::send(const Bytes& datagram) {
    if (socket_) socket_->sendTo(serverAddress_, serverPort_, datagram.data(), datagram.size());
}

void AdminLink::ask(const Bytes& request, Matcher matches, Milliseconds deadline, Answer onAnswer) {
    waiting_.push_back(Waiting{std::move(matches), deadline, std::move(onAnswer)});
    send(request);
}

AdminLink::Matcher AdminLink::startsWith(Bytes prefix) {
    return [prefix = std::move(prefix)](const Bytes& bytes) {
        return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
    };
}

void AdminLink::expire(Milliseconds now) {
    std::vector<Waiting> late;
    for (auto waiting = waiting_.begin(); waiting != waiting_.end();) {
        if (now >= waiting->deadline) {
            late.push_back(std::move(*waiting));
            waiting = waiting_.erase(waiting);
        } else {
            ++waiting;
        }
    }
    for (Waiting& waiting : late) waiting.onAnswer(std::nullopt);
}

void AdminLink::receive(Milliseconds now) {
    std::array<std::uint8_t, kReceiveBufferSize> buffer{};
    for (int received = 0; received < kReceivesPerPass && socket_; ++received) {
        const varn::platform::ReceiveResult result = socket_->receive(buffer.data(), buffer.size());
        if (result.status == varn::platform::ReceiveStatus::nothingMore) return;
        if (result.status != varn::platform::ReceiveStatus::datagram || result.address != serverAddress_) continue;
        lastHeard_ = now;
        const Datagram datagram{Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(result.length)),
                                result.port == serverPort_};
        handle(datagram);
    }
}

void AdminLink::handle(const Datagram& datagram) {
    if (datagram.fromAdminPort && datagram.bytes == Bytes{varn::command::kPingRequest}) {
        send({varn::admin::kPingAnswer});
        return;
    }
    if (datagram.fromAdminPort) {
        if (datagram.bytes.empty()) return;
        const auto found = std::find_if(waiting_.begin(), waiting_.end(),
                                        [&](const Waiting& waiting) { return waiting.matches(datagram.bytes); });
        if (found != waiting_.end()) {
            Answer onAnswer = std::move(found->onAnswer);
            waiting_.erase(found);
            onAnswer(datagram.bytes);
            // A broadcast that answers a request (a kick's notice, the echo of a say) is news for the
            // live view too.
            const bool broadcast = datagram.bytes[0] == varn::command::kPlayerLeft ||
                                   datagram.bytes[0] == varn::command::kChat;
            if (!broadcast) return;
        }
    }
    if (receiver_) receiver_(datagram);
}

}  // namespace varnweb
