#pragma once

#include <cstddef>
#include <cstdint>

#include "net/PeerAddress.h"

namespace varn {

// How the game reaches the administrators without knowing the admin server: the broadcasts they
// get after the players, the join notice that carries the player's address, the ping requests, and
// the steps of the once-per-second pass that concern them. The admin server implements it.
class AdministratorChannel {
public:
    virtual ~AdministratorChannel() = default;

    // One datagram to one administrator's address, over the admin socket.
    virtual void sendToAdministrator(const PeerAddress& to, const std::uint8_t* data, std::size_t length) = 0;
    // Sends at once what is waiting for the administrators (the loop otherwise sends it after the
    // players' datagrams).
    virtual void flushToAdministrators() = 0;
    // One datagram to every administrator, in ascending id order.
    virtual void sendToAdministrators(const std::uint8_t* data, std::size_t length) = 0;
    // Drops, without a word to anybody, every administrator silent for longer than limitSeconds.
    virtual void dropSilentAdministrators(std::int32_t limitSeconds) = 0;
    virtual void addIdleTime(std::int32_t seconds) = 0;
    // Whether any administrator is logged in (the once-per-second pass has them to police).
    virtual bool anyAdministrator() const = 0;
};

}  // namespace varn
