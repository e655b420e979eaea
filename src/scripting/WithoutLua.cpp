#include "scripting/Scripting.h"

namespace varn {

// The server built without Lua: there are no scripts to load.

bool scriptsBuiltIn() { return false; }

std::unique_ptr<Scripts> loadScripts(const ScriptSettings&, ScriptGame&, const platform::Clock&,
                                     platform::FileSystem&, LoopTasks*, std::string& error) {
    error = "this server was built without Lua, so ScriptFiles cannot be used";
    return nullptr;
}

std::vector<std::string> compileScripts(const ScriptSettings&) {
    return {"this server was built without Lua, so ScriptFiles cannot be used"};
}

}  // namespace varn
