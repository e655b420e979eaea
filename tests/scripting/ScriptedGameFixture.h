#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "scripting/GameForScripts.h"
#include "scripting/ScriptFixture.h"
#include "scripting/ScriptHost.h"
#include "support/GameServerFixture.h"
#include "support/TemporaryDirectory.h"

namespace varn::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes joinDatagram(std::string_view name) {
    Bytes datagram = {1, 24};
    datagram.insert(datagram.end(), name.begin(), name.end());
    datagram.push_back('|');
    datagram.push_back(0);
    return datagram;
}

inline Bytes chatDatagram(std::uint8_t kind, std::string_view text) {
    Bytes datagram = {3, kind};
    datagram.insert(datagram.end(), text.begin(), text.end());
    datagram.push_back(0);
    return datagram;
}

// [3][senderId][kind][text][NUL], the chat relay.
inline Bytes chatRelay(std::uint8_t senderId, std::uint8_t kind, std::string_view text) {
    Bytes packet = {3, senderId, kind};
    packet.insert(packet.end(), text.begin(), text.end());
    packet.push_back(0);
    return packet;
}

// A real game over fake sockets with scripts loaded as the server loads them: a host observing the
// game, acting through GameForScripts, its periodic work on a loop moved by hand.
class ScriptedGameFixture : public GameServerFixture {
protected:
    void SetUp() override {
        GameServerFixture::SetUp();
        folder_ = makeTemporaryDirectory("varn-scripted-");
        std::filesystem::create_directory(folder_ / "data");
    }
    void TearDown() override {
        stopScripts();
        GameServerFixture::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    std::string write(const std::string& name, const std::string& text) { return writeScript(folder_, name, text); }

    // Starts the game and loads the files (already written, or paths of shipped scripts).
    bool startWithScripts(const std::vector<std::string>& paths) {
        start();
        settings.scripts.files = paths;
        settings.scripts.dataFolder = (folder_ / "data").string();
        return loadScripts();
    }
    bool startWithScript(const std::string& text) { return startWithScripts({write("test.lua", text)}); }

    // Loads the scripts anew into a new host, as a restart does.
    bool loadScripts() {
        stopScripts();
        gameForScripts = std::make_unique<GameForScripts>(*server, settings, clock);
        host = std::make_unique<ScriptHost>(settings.scripts, *gameForScripts, clock, *files, &tasks);
        if (!host->load(loadError)) {
            host.reset();
            return false;
        }
        server->addObserver(*host);
        return true;
    }
    void stopScripts() {
        if (!host) return;
        server->removeObserver(*host);
        host.reset();
    }

    // Joins a player by name from the peer and forgets what was sent so far.
    void join(const PeerAddress& from, std::string_view name) {
        receiveGame(from, joinDatagram(name));
        network.sent.clear();
    }
    std::vector<std::string> linesStartingWith(std::string_view prefix) const {
        std::vector<std::string> result;
        for (const std::string& line : log.lines()) {
            if (line.starts_with(prefix)) result.push_back(line);
        }
        return result;
    }
    const std::filesystem::path& folder() const { return folder_; }

    std::unique_ptr<GameForScripts> gameForScripts;
    ManualLoopTasks tasks;
    platform::FileSystem* files = &platform::FileSystem::system();
    std::unique_ptr<ScriptHost> host;
    std::string loadError;

    const PeerAddress alice = peer(2), bob = peer(3), carol = peer(4), admin = peer(100, 6000);

private:
    std::filesystem::path folder_;
};

}  // namespace varn::testing
