#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/ServerSettings.h"
#include "net/LoopTasks.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "scripting/ScriptGame.h"
#include "scripting/ScriptHost.h"
#include "support/LogCapture.h"
#include "support/TemporaryDirectory.h"

namespace varn::testing {

// The game as scripts see it, recording what they ask for.
class RecordingScriptGame final : public ScriptGame {
public:
    struct Sent {
        std::int32_t to;
        std::string text;
    };
    struct Removal {
        std::int32_t id;
        std::string file;
        std::uint32_t seconds;
        std::string reason;
    };

    void sendText(std::int32_t toPlayer, std::string_view text) override { sent.push_back({toPlayer, std::string(text)}); }
    bool kick(std::int32_t playerId, std::string_view file) override {
        kicks.push_back({playerId, std::string(file), 0, {}});
        return true;
    }
    bool ban(std::int32_t playerId, std::string_view file, std::uint32_t seconds, std::string_view reason) override {
        bans.push_back({playerId, std::string(file), seconds, std::string(reason)});
        return true;
    }
    void collectPlayers(std::vector<ScriptPlayer>& out) const override { out = players; }
    std::optional<ScriptPlayer> findPlayer(std::int32_t id) const override {
        for (const ScriptPlayer& player : players) {
            if (player.id == id) return player;
        }
        return std::nullopt;
    }
    ScriptServerFacts facts() const override { return {"Test Server", 26, 4000, 4003}; }

    std::vector<ScriptPlayer> players;
    std::vector<Sent> sent;
    std::vector<Removal> kicks;
    std::vector<Removal> bans;
};

// A loop whose periodic work the test runs by moving its time.
class ManualLoopTasks final : public LoopTasks {
public:
    TaskId addSocket(platform::WaitHandle, Interest, std::function<void(Readiness, Milliseconds)>) override { return 0; }
    void setInterest(TaskId, Interest) override {}
    void removeSocket(TaskId) override {}
    TaskId addPeriodic(Milliseconds interval, std::function<void(Milliseconds)> task) override {
        const TaskId id = next_++;
        periodic_[id] = {interval, now_ + interval, std::move(task)};
        return id;
    }
    void removePeriodic(TaskId task) override { periodic_.erase(task); }

    // Runs every task that falls due up to now + milliseconds, in time order.
    void advance(Milliseconds milliseconds) {
        const Milliseconds end = now_ + milliseconds;
        for (;;) {
            TaskId due = 0;
            Milliseconds when = end + 1;
            for (const auto& [id, task] : periodic_) {
                if (task.due < when) {
                    when = task.due;
                    due = id;
                }
            }
            if (due == 0) break;
            now_ = when;
            periodic_[due].due += periodic_[due].interval;
            auto work = periodic_[due].work;
            work(now_);
        }
        now_ = end;
    }
    std::size_t count() const { return periodic_.size(); }

private:
    struct Periodic {
        Milliseconds interval = 0;
        Milliseconds due = 0;
        std::function<void(Milliseconds)> work;
    };
    std::map<TaskId, Periodic> periodic_;
    TaskId next_ = 1;
    Milliseconds now_ = 0;
};

// Writes a script (folders made as needed) and gives its path.
inline std::string writeScript(const std::filesystem::path& folder, const std::string& name, const std::string& text) {
    const std::filesystem::path path = folder / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
}

// Scripts written to a temporary folder and a host over a recording game, a manual clock, a loop
// moved by hand and a stopwatch the test sets.
class ScriptFixture : public ::testing::Test {
protected:
    ScriptFixture() : folder_(makeTemporaryDirectory("varn-scripts-")) {
        settings.dataFolder = (folder_ / "data").string();
        std::filesystem::create_directory(settings.dataFolder);
    }
    ~ScriptFixture() override {
        host.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    std::string write(const std::string& name, const std::string& text) { return writeScript(folder_, name, text); }
    // Writes the scripts and loads them in that order; false with the error in loadError.
    bool load(const std::vector<std::pair<std::string, std::string>>& scripts) {
        settings.files.clear();
        for (const auto& [name, text] : scripts) settings.files.push_back(write(name, text));
        host = std::make_unique<ScriptHost>(settings, game, clock, *files, &tasks,
                                            [this] { return nanoseconds += nanosecondsPerReading; });
        return host->load(loadError);
    }
    bool load(const std::string& text) { return load({{"test.lua", text}}); }

    std::vector<std::string> scriptLines() const {
        std::vector<std::string> result;
        for (const std::string& line : log.lines()) {
            if (line.starts_with("SCRIPT") || line.starts_with("SERVER")) result.push_back(line);
        }
        return result;
    }
    const std::filesystem::path& folder() const { return folder_; }

    LogCapture log;
    ScriptSettings settings;
    RecordingScriptGame game;
    platform::ManualClock clock;
    ManualLoopTasks tasks;
    std::int64_t nanoseconds = 0;
    // What every reading of the stopwatch adds: the cost the global budget sees for each call.
    std::int64_t nanosecondsPerReading = 0;
    platform::FileSystem* files = &platform::FileSystem::system();
    std::unique_ptr<ScriptHost> host;
    std::string loadError;

private:
    std::filesystem::path folder_;
};

}  // namespace varn::testing
