// A sequence of game datagrams from a few addresses into one GameServer, with the policing passes
// running in between.
#include <cstddef>
#include <cstdint>

#include "FuzzWorld.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static varn::fuzzing::World& world = *new varn::fuzzing::World;
    varn::fuzzing::playGameSession(world, data, size);
    world.trimLog();
    return 0;
}
