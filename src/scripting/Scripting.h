#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "game/GameEvents.h"

namespace varn {

class LoopTasks;
class ScriptGame;
struct ScriptSettings;
namespace platform {
class Clock;
class FileSystem;
}  // namespace platform

// The operator's scripts as the application sees them: an observer of the game that can be reloaded.
class Scripts : public GameObserver {
public:
    // Compiles and runs every file again in fresh states. When all of them work, the old states are
    // closed and "SERVER: Reloaded scripts: ..." is logged; otherwise the running scripts stay (one
    // warning line) and the answer is false.
    virtual bool reload() = 0;
    // Writes every store that changed since its last save (the stop event does it too).
    virtual void saveStores() = 0;
    // Errors every script has raised since start-up (through reloads), and the time spent in them.
    virtual std::uint64_t errorsTotal() const = 0;
    // The same errors by script (its file as ScriptFiles names it); every script loaded since start-up
    // is there, at 0 until its first error.
    virtual std::map<std::string, std::uint64_t> errorsByScript() const = 0;
    virtual std::int64_t nanosecondsTotal() const = 0;
};

// False when the server was built without Lua: ScriptFiles then stops the start-up.
bool scriptsBuiltIn();

// Loads every file of settings.files in order, each in its own state: compiled, then run. None, with
// the first failure in error ("<file>:<line>: <message>"), when a file fails. tasks may be null:
// timers are then refused and stores are saved only at reload and shut-down.
std::unique_ptr<Scripts> loadScripts(const ScriptSettings& settings, ScriptGame& game, const platform::Clock& clock,
                                     platform::FileSystem& files, LoopTasks* tasks, std::string& error);

// Compiles every file without running anything; one error text for each file that fails.
std::vector<std::string> compileScripts(const ScriptSettings& settings);

}  // namespace varn
