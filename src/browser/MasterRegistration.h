#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "net/PeerAddress.h"
#include "platform/DatagramSocket.h"
#include "protocol/BrowserProtocol.h"
#include "protocol/MasterVerification.h"

namespace varn {


// Keeps the server listed with up to two ASE master servers: heartbeats "\hb\<query port>\varn" at
// growing intervals from the query socket, and the keyed answer to a master's verification
// challenge.
class MasterRegistration {
public:
    using HostLookup = std::function<std::uint32_t(const char*)>;

    // Shuffles the verification table; the generator goes on from where the last build left it.
    void buildVerificationTable();
    // Resolves the master names (the built-in ones, or those of ASEMasterServers) once; blocks on
    // the lookups. Resets the heartbeat schedule so the next step sends at once.
    void setUpMasters(const std::vector<std::string>& masterServers, const HostLookup& lookupHost);

    // Sends the heartbeat when it is due at tick count now.
    void heartbeatStep(platform::DatagramSocket& socket, std::int32_t queryPort, std::uint32_t now);
    // Milliseconds from now until the next heartbeat is due; 0 when it is due already.
    std::uint32_t millisecondsToNextHeartbeat(std::uint32_t now) const;

    // Challenges are answered only from the first master's /24 network.
    bool isFromMasterNetwork(const PeerAddress& sender) const;
    std::uint32_t verificationResponse(
        std::span<const std::uint8_t, browser::kChallengeLength> challenge) const;

    std::uint32_t heartbeatDueTime() const { return dueTime_; }
    std::uint32_t heartbeatInterval() const { return interval_; }
    const PeerAddress& firstMaster() const { return firstMaster_; }
    // 255.255.255.255 when the second master has no address.
    const PeerAddress& secondMaster() const { return secondMaster_; }
    bool hasSecondMaster() const;
    bool fallbackInUse() const { return fallbackInUse_; }

private:
    browser::VerificationKey verification_;
    PeerAddress firstMaster_;
    PeerAddress secondMaster_;
    bool fallbackInUse_ = false;
    std::uint32_t interval_ = 0;
    std::uint32_t dueTime_ = 0;
    // Kept apart from the due time, so a due time that wraps to 0 is not taken for "send now".
    bool firstHeartbeatPending_ = true;
};

}  // namespace varn
