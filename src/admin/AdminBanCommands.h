#pragma once

#include <cstdint>

#include "net/PeerAddress.h"
#include "protocol/Packet.h"

namespace varn {

class GameServer;

// The ban commands with a time limit and a reason, and the ban list with its details (admin ids 30
// and up), for a logged-in admin: the datagram after its id byte, the sender and its admin id.
void processAdminBanCommand(GameServer& server, std::int32_t commandId, const PacketReader& payload,
                            const PeerAddress& from, std::int32_t adminId);

}  // namespace varn
