// A sequence of admin datagrams (logins among them) from a few addresses into one GameServer that has
// players, with the per-second pass in between.
#include <cstddef>
#include <cstdint>

#include "FuzzWorld.h"
#include "protocol/GameProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static varn::fuzzing::World& world = *new varn::fuzzing::World;
    auto& server = *world.server;
    // Each input starts with a new admin server: no administrators and no shut-down armed.
    world.adminServer.reset();
    world.adminServer = std::make_unique<varn::AdminServer>(server, *world.adminEndpoint, world.bans, world.lockout,
                                                             world.settings, world.clock);
    auto& admin = *world.adminServer;
    for (std::uint32_t i = 0; i < 4; ++i) {
        world.players.add(varn::PeerAddress::fromHostOrder(0x7F000100u + i, 5000), "p" + std::to_string(i));
    }
    // One administrator is already in, so commands reach their handlers without a login first.
    admin.administrators().add(varn::fuzzing::senderFor(0), "boss");
    varn::fuzzing::forEachDatagram(data, size, [&](std::uint8_t selector, const std::uint8_t* datagram,
                                                   std::size_t length) {
        admin.processCommand(varn::signedByte(datagram[0]), datagram + 1,
                             varn::fuzzing::senderFor(selector), static_cast<std::int32_t>(length));
        if (selector & 0x80) {
            world.clock.advanceSeconds(1);
            server.checkTimeouts(15);
            server.addIdleTime(1);
            server.sendPings();
        }
    });
    server.players().clear();
    world.trimLog();
    return 0;
}
