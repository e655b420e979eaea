#include <algorithm>
#include <string>

#include "game/GameServer.h"
#include "log/ServerLog.h"
#include "platform/Files.h"
#include "protocol/GameProtocol.h"

namespace varn {

namespace {

constexpr const char* kMotdFile = "motd.txt";

}  // namespace

bool GameServer::loadMessageOfTheDay() {
    std::string text;
    if (!platform::readTextFile(kMotdFile, text, kMotdTextCapacity)) {
        ServerLog::instance().line("ERROR: 'motd.txt' could not be opened for reading.");
        ServerLog::instance().diagnostic("varnserver: ", kMotdFile, ": ",
                                         platform::whyFileCannotBeRead(kMotdFile));
        return false;
    }
    // The last byte read gives way to the end of the text: a final line break is dropped, and a
    // file without one loses its last character. An empty file gives an empty text.
    if (!text.empty()) text.pop_back();
    motdPacket_.fill(0);
    motdPacket_[0] = command::kMessageOfTheDay;
    std::copy(text.begin(), text.end(), motdPacket_.begin() + 1);
    messageOfTheDayLoaded_ = true;
    return true;
}

}  // namespace varn
