#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "browser/MasterRegistration.h"
#include "browser/QueryFloodGuard.h"
#include "browser/StatusReply.h"
#include "net/PeerAddress.h"
#include "net/SendQueue.h"
#include "net/TrafficCounters.h"
#include "platform/Clock.h"
#include "platform/DatagramSocket.h"
#include "protocol/BrowserProtocol.h"

namespace varn {

struct ServerSettings;
class PlayerRegistry;

// Makes the server visible in the ASE server browser. Owns the query socket (game port + 123, or the
// next free port up to + 186) and answers status, game-name, ping and master-verification queries on
// it; the same socket carries the heartbeats to the master servers.
class BrowserQuery {
public:
    using SocketFactory = std::function<std::unique_ptr<platform::DatagramSocket>()>;
    using HostLookup = MasterRegistration::HostLookup;

    // What the responder reads and talks through; tests substitute fakes. The clock, the settings
    // and the players must be given.
    struct Services {
        SocketFactory socketFactory = platform::createUdpSocket;
        HostLookup lookupHost = platform::lookupHostAddress;
        const platform::Clock* clock = nullptr;
        const ServerSettings* settings = nullptr;
        const PlayerRegistry* players = nullptr;
    };

    // Both initialise at once with registration on; a responder that failed to initialise is silent.
    BrowserQuery(std::int32_t gamePort, const ServerSettings& settings, const PlayerRegistry& players,
                 const platform::Clock& clock);
    BrowserQuery(std::int32_t gamePort, Services services);
    ~BrowserQuery();
    BrowserQuery(const BrowserQuery&) = delete;
    BrowserQuery& operator=(const BrowserQuery&) = delete;

    bool initialise(std::int32_t gamePort, bool registrationOn);
    // Answers the queries waiting on the socket, at most kPassBudget of them (the rest wait for
    // the next poll), then sends the heartbeat when it is due. Replies are queued and go out in
    // batches, all of them before poll returns. False only when not initialised.
    bool poll();

    static constexpr std::size_t kPassBudget = 256;

    // The handle the main loop's wait watches; kNoWaitHandle when there is no query socket.
    platform::WaitHandle waitHandle() const;
    // How long the main loop may wait before the next poll must send a heartbeat; -1 when no
    // heartbeat will ever be sent.
    int millisecondsToNextHeartbeat() const;

    bool isInitialised() const { return initialised_; }
    std::int32_t queryPort() const { return queryPort_; }
    bool isBlocking() const { return blocking_; }
    const MasterRegistration& masters() const { return masters_; }
    // The query socket's datagrams (replies sent in pieces count each piece; heartbeats are not
    // counted), and the queries the flood guard left unanswered.
    const TrafficCounters& traffic() const { return traffic_; }
    const std::uint64_t& repliesDropped() const { return repliesDropped_; }

private:
    static constexpr std::size_t kReceiveCapacity = 4096;

    bool openQuerySocket();
    void reportQueryPort(std::int32_t firstPort, const std::string& firstFailure) const;
    // False when the socket has nothing more; a refused datagram reads as an empty query.
    bool readQuery(std::int32_t& length, PeerAddress& sender);
    void answer(std::int32_t length, const PeerAddress& sender);
    void answerStatus(const PeerAddress& sender);
    // With the flood guard on: whether a reply may go, counting the drop when it may not.
    bool guardAllowsStatus(const PeerAddress& sender);
    bool guardAllowsReplyBytes(const PeerAddress& sender, std::size_t bytes);
    void reportDroppedQueries();
    void answerGameName(const PeerAddress& sender);
    void answerPing(std::int32_t length, const PeerAddress& sender);
    void answerChallenge(std::int32_t length, const PeerAddress& sender);
    void sendReply(const PeerAddress& to, const std::uint8_t* data, std::size_t length);
    void flushReplies();
    void countReceived(const platform::ReceiveResult& result);
    void sendInPieces(const PeerAddress& to);
    void reportStatus();
    void reportRules();
    void reportPlayers();
    bool heartbeatsRun() const;

    Services services_;
    const platform::Clock& clock_;
    const ServerSettings& settings_;
    const PlayerRegistry& players_;

    bool initialised_ = false;
    std::unique_ptr<platform::DatagramSocket> socket_;
    std::int32_t gamePort_ = 0;
    std::int32_t queryPort_ = 0;
    bool blocking_ = false;
    bool registrationOn_ = false;
    std::array<std::uint8_t, kReceiveCapacity> receiveBuffer_{};
    std::unique_ptr<SendQueue> replies_ = std::make_unique<SendQueue>();
    StatusReply reply_;
    // The status depends only on the configuration and the players: built once per pass at most.
    bool statusBuilt_ = false;
    std::optional<QueryFloodGuard> floodGuard_;
    std::uint32_t replyIdentifier_ = 0;
    MasterRegistration masters_;
    TrafficCounters traffic_;
    std::uint64_t repliesDropped_ = 0;
};

}  // namespace varn
