#pragma once

#include <cstdint>

#include "protocol/Packet.h"
#include "net/PeerAddress.h"

namespace varn {

class GameServer;

// The handlers of the game commands. Each reads its datagram through the bounded reader it is given.
namespace gameplay {

void join(GameServer& server, const PacketReader& payload, const PeerAddress& from, std::int32_t senderId);
void quit(GameServer& server, std::int32_t senderId);

void chat(GameServer& server, const PacketReader& payload, std::int32_t senderId);
void answerPingRequest(GameServer& server, const PeerAddress& from);
void pingReply(GameServer& server, std::int32_t senderId);
void deathReport(GameServer& server, const PacketReader& payload, std::int32_t senderId);
void trainerReport(GameServer& server, std::int32_t senderId);
void nameQuery(GameServer& server, const PacketReader& payload, const PeerAddress& from);
void sharedByteAnnounce(GameServer& server, const PacketReader& payload, std::int32_t senderId);
void sharedByteQuery(GameServer& server, const PacketReader& payload, const PeerAddress& from);
void clientCrcReply(GameServer& server, const PacketReader& payload, std::int32_t senderId);

}  // namespace gameplay
}  // namespace varn
