#pragma once

#include <cstdint>
#include <string_view>

#include "net/PeerAddress.h"

namespace varn {

struct PlayerRecord;

// A player as observers and other folders see it: read-only, valid for the duration of the call
// that hands it over (the record may be removed right after).
class PlayerView {
public:
    PlayerView(std::int32_t id, const PlayerRecord& record) : id_(id), record_(&record) {}

    std::int32_t id() const { return id_; }
    std::string_view name() const;
    std::string_view ipText() const;
    const PeerAddress& address() const;
    std::int16_t score() const;
    // The ping the players are told: the mean of the last two measurements, at most 1000.
    std::uint16_t ping() const;
    // The ping the server browser lists: the last answer's time less the last request's, both
    // 16-bit clock readings subtracted as signed numbers (-65535 to 65535, negative when the
    // clock wrapped between them or the answer came before the request).
    std::int32_t browserPing() const;
    std::int32_t idleSeconds() const;
    bool inVehicle() const;

private:
    std::int32_t id_;
    const PlayerRecord* record_;
};

}  // namespace varn
