#include "browser/BrowserQuery.h"

#include <limits>
#include <string>
#include <system_error>
#include <utility>

#include "config/ServerSettings.h"
#include "game/PlayerRegistry.h"
#include "log/ServerLog.h"

namespace varn {

namespace {

constexpr int kSocketCreateAttempts = 8;
constexpr int kNonBlockingAttempts = 8;
constexpr std::uint32_t kAnyAddress = 0;

std::string bindFailureText(const platform::DatagramSocket& socket) {
    const std::error_code error = socket.bindError();
    return error ? error.message() : "reason unknown";
}

BrowserQuery::Services withSystemSockets(const ServerSettings& settings, const PlayerRegistry& players,
                                         const platform::Clock& clock) {
    BrowserQuery::Services services;
    services.clock = &clock;
    services.settings = &settings;
    services.players = &players;
    return services;
}

}  // namespace

BrowserQuery::BrowserQuery(std::int32_t gamePort, const ServerSettings& settings, const PlayerRegistry& players,
                           const platform::Clock& clock)
    : BrowserQuery(gamePort, withSystemSockets(settings, players, clock)) {}

BrowserQuery::BrowserQuery(std::int32_t gamePort, Services services)
    : services_(std::move(services)),
      clock_(*services_.clock),
      settings_(*services_.settings),
      players_(*services_.players) {
    if (settings_.queryFloodGuard) floodGuard_.emplace(clock_.monotonicSeconds());
    initialise(gamePort, true);
}

// Leaving sends nothing to the masters; the query socket closes with the responder.
BrowserQuery::~BrowserQuery() = default;

bool BrowserQuery::initialise(std::int32_t gamePort, bool registrationOn) {
    flushReplies();
    if (socket_) socket_->close();
    socket_.reset();
    initialised_ = false;

    gamePort_ = gamePort;
    queryPort_ = gamePort + browser::kQueryPortOffset;
    masters_.buildVerificationTable();
    if (!openQuerySocket()) return false;

    blocking_ = true;
    for (int attempt = 0; attempt < kNonBlockingAttempts && blocking_; ++attempt) {
        blocking_ = !socket_->setNonBlocking();
    }
    if (registrationOn) masters_.setUpMasters(settings_.masterServers, services_.lookupHost);
    registrationOn_ = registrationOn;
    initialised_ = true;
    return true;
}

bool BrowserQuery::openQuerySocket() {
    for (int attempt = 0; attempt < kSocketCreateAttempts && !socket_; ++attempt) {
        socket_ = services_.socketFactory();
        if (socket_ && !socket_->create()) socket_.reset();
    }
    if (!socket_) return false;

    // Another program may hold the port; move up one port per failed attempt. A port beyond the
    // highest one counts as a failed attempt rather than wrapping round to a low port.
    const std::int32_t firstPort = queryPort_;
    std::string firstFailure;
    for (int attempt = 0; attempt < browser::kQueryPortAttempts; ++attempt, ++queryPort_) {
        if (queryPort_ < 1 || queryPort_ > kHighestPort) continue;
        const std::uint16_t port = PeerAddress::fromHostOrder(0, static_cast<std::uint16_t>(queryPort_)).port;
        if (socket_->bind(kAnyAddress, port)) {
            reportQueryPort(firstPort, firstFailure);
            return true;
        }
        if (firstFailure.empty()) firstFailure = bindFailureText(*socket_);
    }
    socket_->close();
    socket_.reset();
    auto& log = ServerLog::instance();
    log.diagnostic("varnserver: no browser query port from 0.0.0.0:", firstPort, " to ",
                   firstPort + browser::kQueryPortAttempts - 1, " could be bound",
                   firstFailure.empty() ? "" : ": ", firstFailure);
    return false;
}

// Standard error only: the port an operator gives a browser client, and why it is not the usual one.
void BrowserQuery::reportQueryPort(std::int32_t firstPort, const std::string& firstFailure) const {
    auto& log = ServerLog::instance();
    if (queryPort_ == firstPort) {
        log.diagnostic("varnserver: browser queries on 0.0.0.0:", queryPort_);
    } else {
        log.diagnostic("varnserver: browser queries on 0.0.0.0:", queryPort_, " (0.0.0.0:", firstPort, ": ",
                       firstFailure, ")");
    }
}

bool BrowserQuery::poll() {
    if (!initialised_) return false;
    std::int32_t length = 0;
    PeerAddress sender;
    statusBuilt_ = false;
    for (std::size_t budget = kPassBudget; budget > 0 && readQuery(length, sender); --budget) {
        if (length > 0) answer(length, sender);
    }
    flushReplies();
    if (floodGuard_) reportDroppedQueries();
    if (heartbeatsRun()) masters_.heartbeatStep(*socket_, queryPort_, clock_.tickMilliseconds());
    return true;
}

bool BrowserQuery::readQuery(std::int32_t& length, PeerAddress& sender) {
    // A socket left blocking is read only when a datagram is known to be waiting.
    if (blocking_ && !socket_->waitReadable(0)) return false;
    const platform::ReceiveResult result = socket_->receive(receiveBuffer_.data(), receiveBuffer_.size());
    if (result.status == platform::ReceiveStatus::nothingMore) return false;
    countReceived(result);
    length = result.status == platform::ReceiveStatus::datagram ? static_cast<std::int32_t>(result.length) : 0;
    sender = PeerAddress{result.address, result.port};
    return true;
}

void BrowserQuery::answer(std::int32_t length, const PeerAddress& sender) {
    switch (receiveBuffer_[0]) {
        case browser::kStatusQuery: answerStatus(sender); break;
        case browser::kGameNameQuery: answerGameName(sender); break;
        case browser::kPingQuery: answerPing(length, sender); break;
        case browser::kChallengeQuery: answerChallenge(length, sender); break;
        default: break;  // anything else gets no reply and leaves no trace
    }
}

void BrowserQuery::sendReply(const PeerAddress& to, const std::uint8_t* data, std::size_t length) {
    if (!replies_->hasRoomFor(length)) flushReplies();
    // Only a datagram too long to send at all has no room in an empty queue; it fails as it goes.
    if (!replies_->push(to, data, length)) {
        const int sent = socket_->sendTo(to.address, to.port, data, length);
        if (sent > 0) {
            ++traffic_.datagramsSent;
            traffic_.bytesSent += static_cast<std::uint64_t>(sent);
        }
    }
}

void BrowserQuery::flushReplies() {
    if (!socket_) return;
    const SendQueue::FlushTotals totals = replies_->flush(*socket_);
    traffic_.datagramsSent += totals.datagramsSent;
    traffic_.bytesSent += totals.bytesSent;
}

void BrowserQuery::countReceived(const platform::ReceiveResult& result) {
    if (result.status == platform::ReceiveStatus::datagram) {
        ++traffic_.datagramsReceived;
        traffic_.bytesReceived += result.length;
        if (result.length == 0) ++traffic_.emptyReceived;
    } else if (result.port != 0) {
        // A refused datagram still names its sender; a failure of the socket itself does not.
        ++traffic_.oversizedReceived;
    }
}

bool BrowserQuery::guardAllowsStatus(const PeerAddress& sender) {
    if (!floodGuard_ || floodGuard_->allowStatus(sender.address, clock_.monotonicSeconds())) return true;
    floodGuard_->countDrop(sender.address);
    ++repliesDropped_;
    return false;
}

bool BrowserQuery::guardAllowsReplyBytes(const PeerAddress& sender, std::size_t bytes) {
    if (!floodGuard_ || floodGuard_->allowReplyBytes(bytes, clock_.monotonicSeconds())) return true;
    floodGuard_->countDrop(sender.address);
    ++repliesDropped_;
    return false;
}

void BrowserQuery::reportDroppedQueries() {
    std::uint32_t dropped = 0;
    std::size_t addresses = 0;
    if (!floodGuard_->takeMinuteReport(clock_.monotonicSeconds(), dropped, addresses)) return;
    auto& log = ServerLog::instance();
    log.line("SERVER-WARNING: ", dropped, " browser queries dropped from ", addresses,
             " addresses in the last minute.");
}

bool BrowserQuery::heartbeatsRun() const {
    return initialised_ && registrationOn_ && socket_ != nullptr;
}

platform::WaitHandle BrowserQuery::waitHandle() const {
    return socket_ ? socket_->waitHandle() : platform::kNoWaitHandle;
}

int BrowserQuery::millisecondsToNextHeartbeat() const {
    if (!heartbeatsRun()) return -1;
    const std::uint32_t remaining = masters_.millisecondsToNextHeartbeat(clock_.tickMilliseconds());
    constexpr auto kLongest = static_cast<std::uint32_t>(std::numeric_limits<int>::max());
    return static_cast<int>(remaining < kLongest ? remaining : kLongest);
}

}  // namespace varn
