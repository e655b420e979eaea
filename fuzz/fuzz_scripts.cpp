// Game datagrams from a few addresses into one GameServer with every shipped example script loaded:
// joins, chat, commands, deaths and quits reach the scripts, which act on the game in turn. The
// once-a-second passes run in between, with the scripts' second event.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "FuzzWorld.h"
#include "scripting/GameForScripts.h"
#include "scripting/Scripting.h"

namespace {

// The world and the scripts over it; the stores go to a folder of their own.
struct ScriptedWorld {
    ScriptedWorld() {
        char folder[] = "/tmp/varn-fuzz-scripts-XXXXXX";
        if (::mkdtemp(folder) == nullptr) std::abort();
        for (const char* name : {"welcome", "top", "killstreaks", "wordfilter", "reserved", "votekick"}) {
            world.settings.scripts.files.push_back(std::string(VARN_SOURCE_DIR) + "/examples/scripts/" + name + ".lua");
        }
        world.settings.scripts.dataFolder = folder;
        game = std::make_unique<varn::GameForScripts>(*world.server, world.settings, world.clock);
        std::string error;
        scripts = varn::loadScripts(world.settings.scripts, *game, world.clock, varn::platform::FileSystem::system(),
                                    nullptr, error);
        if (!scripts) {
            std::fprintf(stderr, "the examples did not load: %s\n", error.c_str());
            std::abort();
        }
        world.server->addObserver(*scripts);
        world.server->notifyServerStarted();
    }

    varn::fuzzing::World world;
    std::unique_ptr<varn::GameForScripts> game;
    std::unique_ptr<varn::Scripts> scripts;
    std::uint32_t inputs = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ScriptedWorld& scripted = *new ScriptedWorld;
    varn::fuzzing::playGameSession(scripted.world, data, size);
    // Now and then the scripts start afresh too, so what they keep about players long gone does not
    // pile up.
    if (++scripted.inputs % 1000 == 0 && !scripted.scripts->reload()) std::abort();
    scripted.world.trimLog();
    return 0;
}
