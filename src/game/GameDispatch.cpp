#include "game/GameServer.h"

namespace varn {

void GameServer::processCommand(std::int32_t /*commandId*/, const std::uint8_t* /*payload*/,
                                const PeerAddress& /*from*/, std::int32_t /*numbytes*/) {}

}  // namespace varn
