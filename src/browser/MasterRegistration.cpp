#include "browser/MasterRegistration.h"

#include <string>
#include <string_view>

#include "protocol/Packet.h"
#include "protocol/BrowserProtocol.h"

namespace varn {

namespace {

// No public master service exists for this build: the built-in names lie under the reserved
// .invalid domain and the fallback is the local host, so out of the box nothing leaves the machine.
constexpr const char* kBuiltInFirstMaster = "master1.varnserver.invalid";
constexpr const char* kBuiltInSecondMaster = "master2.varnserver.invalid";
constexpr std::uint32_t kFallbackMasterHostAddress = 0x7F000001u;  // 127.0.0.1
constexpr std::string_view kReservedDomain = ".invalid";
constexpr int kFirstMasterLookups = 2;
constexpr int kSecondMasterLookups = 1;

constexpr std::uint32_t kFirstInterval = 15'000;
constexpr std::uint32_t kStopGrowingAt = 1'800'000;
// With only the fallback master, the gap after the third heartbeat is a whole day.
constexpr std::uint32_t kFallbackQuietInterval = 120'000;
constexpr std::uint32_t kFallbackQuietGap = 86'400'000;

bool endsWithReservedDomain(std::string_view name) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    if (name.size() < kReservedDomain.size()) return false;
    const std::string_view tail = name.substr(name.size() - kReservedDomain.size());
    for (std::size_t i = 0; i < tail.size(); ++i) {
        const char c = tail[i] >= 'A' && tail[i] <= 'Z' ? static_cast<char>(tail[i] - 'A' + 'a') : tail[i];
        if (c != kReservedDomain[i]) return false;
    }
    return true;
}

// The address of a master name in network order, or 0 when it has none. A dotted address needs no
// lookup, and a name under .invalid never resolves, so neither waits for a resolver.
std::uint32_t resolveMaster(const std::string& name, int lookups,
                            const MasterRegistration::HostLookup& lookupHost) {
    if (name.empty() || endsWithReservedDomain(name)) return 0;
    const std::uint32_t numeric = addressFromText(name.c_str());
    if (numeric != kNoAddress) return numeric;
    for (int attempt = 0; attempt < lookups; ++attempt) {
        const std::uint32_t address = lookupHost(name.c_str());
        if (address != 0 && address != kNoAddress) return address;
    }
    return 0;
}

}  // namespace

void MasterRegistration::buildVerificationTable() {
    verification_.shuffle();
}

void MasterRegistration::setUpMasters(const std::vector<std::string>& masterServers, const HostLookup& lookupHost) {
    std::string firstName = kBuiltInFirstMaster;
    std::string secondName = kBuiltInSecondMaster;
    // The operator's list replaces both names; with one value there is no second master.
    if (!masterServers.empty()) {
        firstName = masterServers[0];
        secondName = masterServers.size() > 1 ? masterServers[1] : std::string();
    }

    const std::uint16_t masterPort = PeerAddress::fromHostOrder(0, browser::kMasterPort).port;
    firstMaster_ = PeerAddress{resolveMaster(firstName, kFirstMasterLookups, lookupHost), masterPort};
    const std::uint32_t second = resolveMaster(secondName, kSecondMasterLookups, lookupHost);
    secondMaster_ = PeerAddress{second != 0 ? second : kNoAddress, masterPort};

    fallbackInUse_ = false;
    if (firstMaster_.address == 0) {
        firstMaster_ = PeerAddress::fromHostOrder(kFallbackMasterHostAddress, browser::kMasterPort);
        fallbackInUse_ = true;
    }
    interval_ = kFirstInterval;
    dueTime_ = 0;
    firstHeartbeatPending_ = true;
}

bool MasterRegistration::hasSecondMaster() const {
    return secondMaster_.address != kNoAddress;
}

void MasterRegistration::heartbeatStep(platform::DatagramSocket& socket, std::int32_t queryPort,
                                       std::uint32_t now) {
    if (firstHeartbeatPending_) {
        firstHeartbeatPending_ = false;
        dueTime_ = now;
    }
    // Signed, so the test stays right across the wrap of the tick count.
    if (static_cast<std::int32_t>(now - dueTime_) < 0) return;

    PacketWriter<browser::kMaxHeartbeatLength> heartbeat;
    browser::encodeHeartbeat(heartbeat, queryPort);

    dueTime_ = now + interval_;
    if (interval_ < kStopGrowingAt) interval_ *= 2;
    if (fallbackInUse_ && interval_ == kFallbackQuietInterval) dueTime_ = now + kFallbackQuietGap;

    if (hasSecondMaster())
        socket.sendTo(secondMaster_.address, secondMaster_.port, heartbeat.data(), heartbeat.size());
    socket.sendTo(firstMaster_.address, firstMaster_.port, heartbeat.data(), heartbeat.size());
}

std::uint32_t MasterRegistration::millisecondsToNextHeartbeat(std::uint32_t now) const {
    if (firstHeartbeatPending_) return 0;
    const std::int32_t remaining = static_cast<std::int32_t>(dueTime_ - now);
    return remaining > 0 ? static_cast<std::uint32_t>(remaining) : 0;
}

bool MasterRegistration::isFromMasterNetwork(const PeerAddress& sender) const {
    return (sender.hostAddress() >> 8) == (firstMaster_.hostAddress() >> 8);
}

std::uint32_t MasterRegistration::verificationResponse(
    std::span<const std::uint8_t, browser::kChallengeLength> challenge) const {
    return verification_.answer(challenge);
}

}  // namespace varn
