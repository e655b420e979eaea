#include "config/ServerSettings.h"
#include "game/GameCommands.h"
#include "game/GameServer.h"
#include "log/ServerLog.h"
#include "protocol/GameProtocol.h"

namespace varn {

namespace {

void writeDebugLine(std::int32_t commandId, const PeerAddress& from, std::int32_t datagramLength,
                    std::int32_t senderId) {
    ServerLog::instance().line("SERVER-DEBUG: processCommand: ", commandId, " from '", from.ipText().view(),
                               "' (numbytes = ", datagramLength, ") - ", senderId);
}

}  // namespace

void GameServer::processCommand(std::int32_t commandId, const std::uint8_t* payload, const PeerAddress& from,
                                std::int32_t datagramLength) {
    HandlerScope scope(*this);
    const std::int32_t senderId = players_.findByAddress(from);
    if (senderId != -1) players_.resetIdle(senderId);
    if (settings_.debugOutput) writeDebugLine(commandId, from, datagramLength, senderId);

    // The payload is what follows the id byte in this datagram and nothing beyond it.
    const PacketReader reader(payload, datagramLength > 1 ? static_cast<std::size_t>(datagramLength - 1) : 0);
    if (commandId == command::kJoin) {
        gameplay::join(*this, reader, from, senderId);
        return;
    }
    if (commandId == command::kPingRequest) {
        gameplay::answerPingRequest(*this, from);
        return;
    }
    // Everything else is served to registered players only.
    if (senderId == -1) return;
    switch (commandId) {
        case command::kQuit: gameplay::quit(*this, senderId); break;
        case command::kChat: gameplay::chat(*this, reader, senderId); break;
        case command::kPingReply: gameplay::pingReply(*this, senderId); break;
        case command::kSync: relaySync(senderId, reader); break;
        case command::kDeath: gameplay::deathReport(*this, reader, senderId); break;
        case command::kTrainerReport: gameplay::trainerReport(*this, senderId); break;
        case command::kNameQuery: gameplay::nameQuery(*this, reader, from); break;
        case command::kSharedByte: gameplay::sharedByteAnnounce(*this, reader, senderId); break;
        case command::kSharedByteQuery: gameplay::sharedByteQuery(*this, reader, from); break;
        case command::kClientCrc: gameplay::clientCrcReply(*this, reader, senderId); break;
        default: break;  // ids the server only sends, and unknown ids
    }
}

}  // namespace varn
