// The seam between the game and what reacts to it: the observers, the requests they make, and the
// read-only view of a player.
#include <algorithm>
#include <utility>

#include "access/BanList.h"
#include "game/GameServer.h"
#include "platform/Clock.h"
#include "protocol/GameProtocol.h"

namespace varn {

namespace {

constexpr std::uint32_t kMaxReportedPing = 1000;

}  // namespace

// ---- the view ----

std::string_view PlayerView::name() const { return record_->name; }
std::string_view PlayerView::ipText() const { return record_->ipText.view(); }
const PeerAddress& PlayerView::address() const { return record_->address; }
std::int16_t PlayerView::score() const { return record_->score; }
std::uint16_t PlayerView::ping() const {
    return static_cast<std::uint16_t>(
        std::min<std::uint32_t>((std::uint32_t{record_->ping} + record_->lastPing) / 2, kMaxReportedPing));
}
std::int32_t PlayerView::browserPing() const {
    return static_cast<std::int32_t>(record_->pongTime) - static_cast<std::int32_t>(record_->pingTime);
}
std::int32_t PlayerView::idleSeconds() const { return record_->idleSeconds; }
bool PlayerView::inVehicle() const { return record_->inVehicle; }

std::optional<PlayerView> GameServer::findPlayer(std::int32_t id) const {
    const PlayerRecord* record = players_.find(id);
    if (record == nullptr) return std::nullopt;
    return PlayerView(id, *record);
}

std::vector<PlayerView> GameServer::playerViews() const {
    std::vector<PlayerView> views;
    views.reserve(players_.records().size());
    forEachPlayer([&views](const PlayerView& view) { views.push_back(view); });
    return views;
}

// ---- observers ----

void GameServer::addObserver(GameObserver& observer) {
    if (std::find(observers_.begin(), observers_.end(), &observer) == observers_.end()) {
        observers_.push_back(&observer);
    }
}

// While an event is being raised the entry is only emptied, so the walk over the list stays valid.
void GameServer::removeObserver(GameObserver& observer) {
    const auto found = std::find(observers_.begin(), observers_.end(), &observer);
    if (found == observers_.end()) return;
    *found = nullptr;
    observerRemoved_ = true;
    if (raising_ == 0) compactObservers();
}

void GameServer::compactObservers() {
    std::erase(observers_, nullptr);
    observerRemoved_ = false;
}

std::optional<std::uint8_t> GameServer::decideJoin(const JoinRequest& request) {
    std::optional<std::uint8_t> refusal;
    raise([&](GameObserver& observer) {
        if (!refusal) refusal = observer.decideJoin(request);
    });
    return refusal;
}

ChatVerdict GameServer::decideChat(const ChatSent& event) {
    ChatVerdict verdict = ChatVerdict::Relay;
    raise([&](GameObserver& observer) {
        if (verdict == ChatVerdict::Relay) verdict = observer.decideChat(event);
    });
    return verdict;
}

bool GameServer::decideAdministratorCommand(const AdministratorCommand& event) {
    bool taken = false;
    raise([&](GameObserver& observer) {
        if (!taken) taken = observer.onAdministratorCommand(event);
    });
    return taken;
}

void GameServer::notifyServerStarted() {
    raise([](GameObserver& observer) { observer.onServerStarted(); });
}

void GameServer::notifyServerStopping() {
    raise([](GameObserver& observer) { observer.onServerStopping(); });
}

void GameServer::notifySecondPassed() {
    HandlerScope scope(*this);
    const SecondPassed event{clock_.monotonicSeconds()};
    raise([&event](GameObserver& observer) { observer.onSecondPassed(event); });
}

void GameServer::notifySendDropped(const SendDropped& event) {
    raise([&event](GameObserver& observer) { observer.onSendDropped(event); });
}

void GameServer::notifyWrongPassword(const WrongPasswordGiven& event) {
    raise([&event](GameObserver& observer) { observer.onWrongPassword(event); });
}

void GameServer::notifyLockedOut(const AddressLockedOut& event) {
    raise([&event](GameObserver& observer) { observer.onLockedOut(event); });
}

void GameServer::notifyBanAdded(const BanAdded& event) {
    raise([&event](GameObserver& observer) { observer.onBanAdded(event); });
}

void GameServer::notifyBanRemoved(const BanRemoved& event) {
    raise([&event](GameObserver& observer) { observer.onBanRemoved(event); });
}

void GameServer::notifyAdministratorLoggedIn(const AdministratorLoggedIn& event) {
    raise([&event](GameObserver& observer) { observer.onAdministratorLoggedIn(event); });
}

void GameServer::notifyAdministratorLoggedOut(const AdministratorLoggedOut& event) {
    raise([&event](GameObserver& observer) { observer.onAdministratorLoggedOut(event); });
}

void GameServer::notifyAdministratorSaid(const AdministratorSaid& event) {
    raise([&event](GameObserver& observer) { observer.onAdministratorSaid(event); });
}

// The ban list writes the expiry lines and hands back the entries that expired; nothing is copied
// while no ban is due, however long the list.
void GameServer::expireBans() {
    HandlerScope scope(*this);
    for (const std::string& entry : bans_.expireDue(clock_.calendarSeconds())) {
        const BanExpired event{entry};
        raise([&event](GameObserver& observer) { observer.onBanExpired(event); });
    }
}

// ---- requests ----

GameServer::HandlerScope::HandlerScope(GameServer& server) : server_(server) { ++server_.handlerDepth_; }

GameServer::HandlerScope::~HandlerScope() {
    if (--server_.handlerDepth_ == 0) server_.carryOutPendingRequests();
}

void GameServer::requestSendText(std::int32_t playerId, std::uint8_t senderId, std::uint8_t kind,
                                 std::string_view text) {
    PendingRequest request;
    request.kind = PendingRequest::Kind::SendText;
    request.playerId = playerId;
    request.senderId = senderId;
    request.chatKind = kind;
    request.text = std::string(text.substr(0, kMaxChatText));
    if (handlerDepth_ > 0) return pendingRequests_.push_back(std::move(request));
    carryOut(request);
}

void GameServer::requestKick(std::int32_t playerId, Actor by) {
    PendingRequest request;
    request.kind = PendingRequest::Kind::Kick;
    request.playerId = playerId;
    request.actorKind = by.kind;
    request.actorName = std::string(by.name);
    if (handlerDepth_ > 0) return pendingRequests_.push_back(std::move(request));
    HandlerScope scope(*this);
    carryOut(request);
}

void GameServer::requestBan(std::int32_t playerId, Actor by, BanDetails details, std::string logSuffix) {
    PendingRequest request;
    request.kind = PendingRequest::Kind::Ban;
    request.playerId = playerId;
    request.actorKind = by.kind;
    request.actorName = std::string(by.name);
    request.details = std::move(details);
    request.text = std::move(logSuffix);
    if (handlerDepth_ > 0) return pendingRequests_.push_back(std::move(request));
    HandlerScope scope(*this);
    carryOut(request);
}

// Requests made while these are carried out (an observer of the leave they cause) join the queue
// and are carried out in the same turn.
void GameServer::carryOutPendingRequests() {
    ++handlerDepth_;
    while (!pendingRequests_.empty()) {
        std::vector<PendingRequest> turn;
        turn.swap(pendingRequests_);
        for (const PendingRequest& request : turn) carryOut(request);
    }
    --handlerDepth_;
}

void GameServer::carryOut(const PendingRequest& request) {
    const Actor by{request.actorKind, request.actorName};
    switch (request.kind) {
        case PendingRequest::Kind::SendText: {
            PacketWriter<4 + kMaxChatText> packet;
            encodeChat(packet, request.senderId, request.chatKind, {}, request.text);
            if (request.playerId == kNoPlayer) {
                broadcast(packet.data(), packet.size());
            } else if (const PlayerRecord* record = players_.find(request.playerId)) {
                sendToPlayer(record->address, packet.data(), packet.size());
            }
            break;
        }
        case PendingRequest::Kind::Kick: removePlayer(request.playerId, LeaveReason::Kick, by); break;
        case PendingRequest::Kind::Ban:
            removePlayer(request.playerId, LeaveReason::Ban, by, request.details, request.text);
            break;
    }
}

}  // namespace varn
