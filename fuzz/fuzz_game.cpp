// A sequence of game datagrams from a few addresses into one GameServer, with the policing passes
// running in between.
#include <cstddef>
#include <cstdint>

#include "FuzzWorld.h"
#include "protocol/GameProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static varn::fuzzing::World& world = *new varn::fuzzing::World;
    auto& server = *world.server;
    varn::fuzzing::forEachDatagram(data, size, [&](std::uint8_t selector, const std::uint8_t* datagram,
                                                   std::size_t length) {
        server.processCommand(varn::signedByte(datagram[0]), datagram + 1, varn::fuzzing::senderFor(selector),
                              static_cast<std::int32_t>(length));
        if (selector & 0x80) {
            world.clock.advanceSeconds(1);
            server.checkChatFlood(2);
            server.resetChatCounters();
            server.checkJoinFlood();
            server.checkTimeouts(15);
            server.addIdleTime(1);
            server.sendPings();
        }
        if ((selector & 0x70) == 0x70) server.checkClientCrc();
    });
    // Each input starts from an empty session.
    server.players().clear();
    world.adminServer->administrators().clear();
    server.recentJoins().clear();
    world.trimLog();
    return 0;
}
