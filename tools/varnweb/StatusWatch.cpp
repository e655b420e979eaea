#include "varnweb/StatusWatch.h"

#include <array>

#include "protocol/BrowserProtocol.h"

namespace varnweb {

namespace {
// A status reply comes in pieces of at most 1364 bytes.
constexpr std::size_t kStatusReplyBufferSize = 2048;
// Datagrams taken in one pass, so that a flood cannot hold the console's loop.
constexpr int kStatusReceivesPerPass = 16;
}  // namespace

StatusWatch::StatusWatch(varn::LoopTasks& loop, std::uint32_t address, std::uint16_t port, Timing timing,
                         std::function<void()> onChange)
    : loop_(loop), address_(address), port_(port), timing_(timing), onChange_(std::move(onChange)) {}

StatusWatch::~StatusWatch() {
    if (task_ != 0) loop_.removeSocket(task_);
}

bool StatusWatch::open() {
    socket_ = varn::platform::createUdpSocket();
    if (!socket_ || !socket_->create() || !socket_->bind(0, 0) || !socket_->setNonBlocking()) {
        socket_.reset();
        return false;
    }
    task_ = loop_.addSocket(socket_->waitHandle(), varn::Interest::Read, [this](varn::Readiness, Milliseconds) { receive(); });
    return true;
}

void StatusWatch::refresh(Milliseconds now) {
    if (!socket_) return;
    if (deadline_ && now >= *deadline_) {
        deadline_.reset();
        pieces_.clear();
        setName(std::nullopt);
    }
    if (deadline_ || (lastAsked_ && now - *lastAsked_ < timing_.refresh)) return;
    lastAsked_ = now;
    deadline_ = now + timing_.answer;
    pieces_.clear();
    const std::uint8_t query = varn::browser::kStatusQuery;
    socket_->sendTo(address_, port_, &query, 1);
}

void StatusWatch::receive() {
    std::array<std::uint8_t, kStatusReplyBufferSize> buffer{};
    for (int received = 0; received < kStatusReceivesPerPass && socket_; ++received) {
        const varn::platform::ReceiveResult result = socket_->receive(buffer.data(), buffer.size());
        if (result.status == varn::platform::ReceiveStatus::nothingMore) return;
        if (result.status != varn::platform::ReceiveStatus::datagram || result.address != address_ ||
            result.port != port_ || !deadline_) {
            continue;
        }
        const std::span<const std::uint8_t> datagram(buffer.data(), result.length);
        const varn::browser::StatusPieces::Outcome outcome = pieces_.add(datagram);
        if (outcome == varn::browser::StatusPieces::Outcome::refused) pieces_.clear();
        if (outcome != varn::browser::StatusPieces::Outcome::complete) continue;
        const std::optional<varn::browser::ServerStatus> status = varn::browser::decodeStatusReply(pieces_.reply());
        pieces_.clear();
        if (!status) continue;
        deadline_.reset();
        setName(status->serverName);
    }
}

void StatusWatch::setName(std::optional<std::string> name) {
    if (name == name_) return;
    name_ = std::move(name);
    if (onChange_) onChange_();
}

}  // namespace varnweb
